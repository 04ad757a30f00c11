#include <QApplication>

#include "mainwindow.h"

int main(int argc, char *argv[])
{
    preparePanelPlatform();
    const bool styleChosen = styleOnCommandLine(argc, argv);
    QApplication app(argc, argv);
    usePanelStyle(styleChosen);
    MainWindow w;
    w.show();
    return app.exec();
}
