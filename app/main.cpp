#include "hessianmaximamainwin.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <cstring>

namespace {

const char kUsage[] =
    "Usage: hessian-maxima [QT-OPTION]... [PICTURE]\n"
    "\n"
    "Opens the blob detector's window, and PICTURE in it when one is given:\n"
    "the determinant-of-Hessian features of a picture at a Gaussian scale or a\n"
    "range of scales, circled on the picture, with the time they took.\n"
    "\n"
    "  -h, --help     show this help\n"
    "  --version      show the version\n"
    "\n"
    "Qt's own options are taken too (e.g. -platform NAME, -style NAME).\n"
    "A PICTURE that starts with '-' follows '--'. The same detection for\n"
    "scripts and batches: hessian-maxima-cli.\n";

// --help and --version are answered before the application object exists,
// so that they need no display (the manual page is made from them at build
// time). Returns the exit status, or -1 to open the window.
int answerInformationOptions(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        const char *argument = argv[i];
        if (std::strcmp(argument, "--") == 0)
            break;
        const bool help = std::strcmp(argument, "-h") == 0 || std::strcmp(argument, "--help") == 0;
        if (help || std::strcmp(argument, "--version") == 0) {
            const char *text = help ? kUsage : "hessian-maxima " HESSIAN_VERSION "\n";
            if (std::fputs(text, stdout) < 0 || std::fflush(stdout) != 0) {
                std::fprintf(stderr, "hessian-maxima: cannot write to standard output\n");
                return 1;
            }
            return 0;
        }
    }
    return -1;
}

} // namespace

int main(int argc, char *argv[])
{
    const int answered = answerInformationOptions(argc, argv);
    if (answered >= 0)
        return answered;

    QApplication application(argc, argv);
    HessianMaximaMainWin window;
    window.show();
    // A picture named on the command line opens once the window is up.
    const QString picture = pictureArgument(QApplication::arguments());
    if (!picture.isEmpty())
        QTimer::singleShot(0, &window, [&window, picture] { window.openPicture(picture); });
    return application.exec();
}
