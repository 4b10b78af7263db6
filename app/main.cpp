#include "commandline.h"
#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    CommandLine commandLine;
    commandLine.Parse(argc, argv);
    if (!commandLine.WantsWindow()) {
        QCoreApplication application(argc, argv);
        return commandLine.Run();
    }
    QApplication application(argc, argv);
    MainWindow window;
    window.show();
    return application.exec();
}
