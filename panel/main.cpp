#include <QApplication>

#include "mainwindow.h"

int main(int argc, char *argv[])
{
    preparePanelPlatform();
    QApplication app(argc, argv);
    usePanelStyle();
    MainWindow w;
    w.show();
    return app.exec();
}
