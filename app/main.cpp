#include "hessianmaximamainwin.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    HessianMaximaMainWin window;
    window.show();
    return application.exec();
}
