#include "d_radiobutton.h"

#include <QDebug>
#include <QMouseEvent>
#include <QPainter>

#include "datastream.h"

namespace {
const char *const kOnOff[] = {"Off", "On"};
const Qt::GlobalColor kColors[] = {Qt::white, Qt::red, Qt::green, Qt::blue, Qt::yellow, Qt::cyan, Qt::magenta};
const char *const kSources[] = {"SDI 1", "SDI 2", "SDI 3", "SDI 4", "SFP", "HDMI"};
} // namespace

D_RadioButton::Command D_RadioButton::commandFor(int id)
{
    if (id >= FirstMvId)
        return {Kind::MvSource, (id - FirstMvId) / IdsPerMvWindow, (id - FirstMvId) % IdsPerMvWindow};
    const int r = id % IdsPerUmdSlot;
    if (r < 2)
        return {Kind::UmdOn, id / IdsPerUmdSlot, r};
    return {Kind::UmdColor, id / IdsPerUmdSlot, r - 2};
}

D_RadioButton::D_RadioButton(int buttonId, QWidget *parent) : QRadioButton(parent), id(buttonId)
{
    resize(80, 20);
    applyId();
}

void D_RadioButton::applyId()
{
    const Command c = commandFor(id);
    switch (c.kind) {
    case Kind::UmdOn:
        caption = QString::fromLatin1(kOnOff[c.value]);
        break;
    case Kind::UmdColor:
        color = QColor(kColors[c.value]);
        break;
    case Kind::MvSource:
        caption = QString::fromLatin1(kSources[c.value]);
        break;
    }
    update();
}

void D_RadioButton::paintEvent(QPaintEvent *)
{
    const int w = width(), h = height();
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    const QPen pen(QColor(60, 60, 60), 0, Qt::SolidLine);
    p.setPen(pen);
    p.setBrush(Qt::white);
    p.drawEllipse(QRect(2, static_cast<int>((h - 12) * 0.5), 12, 12));
    if (isChecked()) {
        p.setBrush(Qt::black);
        p.drawEllipse(QRect(5, static_cast<int>((h - 6) * 0.5), 6, 6));
    }
    if (!caption.isEmpty()) {
        p.setPen(pen);
        p.setFont(font());
        p.drawText(QRect(30, 0, w, h), Qt::AlignLeft | Qt::AlignVCenter, caption);
    } else {
        p.setPen(Qt::NoPen);
        p.setBrush(QBrush(color, Qt::SolidPattern));
        p.drawRect(QRect(30, static_cast<int>((h - 20) * 0.5), 20, 20));
    }
}

void D_RadioButton::mouseReleaseEvent(QMouseEvent *)
{
    qDebug("pressed : %d", id);
    setChecked(true); // exclusivity unchecks the other members of the box
    update();
    if (!dataStream)
        return;
    const Command c = commandFor(id);
    switch (c.kind) {
    case Kind::UmdOn:
        dataStream->setUmdSlotOn(c.target, c.value);
        break;
    case Kind::UmdColor:
        dataStream->setUmdSlotColor(c.target, c.value);
        break;
    case Kind::MvSource:
        dataStream->setMvWindowSource(c.target, c.value);
        break;
    }
}
