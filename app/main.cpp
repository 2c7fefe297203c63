#include "hessianmaximamainwin.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    HessianMaximaMainWin window;
    window.show();
    // A picture named on the command line opens once the window is up.
    const QString picture = pictureArgument(QApplication::arguments());
    if (!picture.isEmpty())
        QTimer::singleShot(0, &window, [&window, picture] { window.openPicture(picture); });
    return application.exec();
}
