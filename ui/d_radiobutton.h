#pragma once

#include <QColor>
#include <QRadioButton>
#include <QString>

// A radio button with a fixed id (0-59) that paints its own ring, dot and caption
// or colour swatch, and sends its own command when the mouse is released on it.
//   ids 0-35:  UMD slot id / 9; within the slot 0-1 "Off"/"On", 2-8 the seven colours
//   ids 36-59: multiview window (id - 36) / 6; sources "SDI 1" ... "HDMI"
class D_RadioButton : public QRadioButton
{
public:
    static constexpr int Count = 60;
    static constexpr int FirstMvId = 36;
    static constexpr int IdsPerUmdSlot = 9;
    static constexpr int IdsPerMvWindow = 6;

    enum class Kind { UmdOn, UmdColor, MvSource };
    struct Command {
        Kind kind;
        int target; // UMD slot or multiview window, 0-3
        int value;  // 0/1, colour 0-6 or source 0-5
    };
    static Command commandFor(int id);

    D_RadioButton(int id, QWidget *parent);

    int id;
    QColor color;
    QString caption;

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void applyId();
};
