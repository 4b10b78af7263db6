#include "commandline.h"
#include "mainwindow.h"

#include <QApplication>

#include <csignal>

int main(int argc, char *argv[])
{
    // A dump or a trace into a pipe whose reader has gone fails with a red line; it does not
    // end the program in the middle of a job.
    std::signal(SIGPIPE, SIG_IGN);
    CommandLine commandLine;
    commandLine.Parse(argc, argv);
    if (!commandLine.OpensWindow()) {
        QCoreApplication application(argc, argv);
        return commandLine.Run();
    }
    QApplication application(argc, argv);
    MainWindow window;
    window.TraceJobs(commandLine.TracePath());
    window.show();
    return application.exec();
}
