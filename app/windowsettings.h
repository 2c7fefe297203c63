#ifndef WINDOWSETTINGS_H
#define WINDOWSETTINGS_H

// What the window remembers between sessions, in the user's settings
// (QSettings, INI format, organisation and application "hessian-maxima";
// on Linux ~/.config/hessian-maxima/hessian-maxima.ini): the parameters,
// the stretch, the folder and the files opened last, and the window's
// geometry. Nothing is stored until the user opens a picture or closes the
// window, so a fresh start shows the window as it has always been.

#include <QString>
#include <QStringList>

class QMainWindow;
struct WindowTools;

namespace Ui {
class HessianMaximaMainWin;
}

// The most recent files File > Open Recent lists.
const int kRecentFiles = 10;

// The parameters' controls and the window's geometry as they were left;
// controls with nothing stored keep their values.
void restoreWindowSettings(QMainWindow *window, Ui::HessianMaximaMainWin *ui, WindowTools *tools);
void saveWindowSettings(const QMainWindow *window, const Ui::HessianMaximaMainWin *ui, const WindowTools *tools);

// The folder the last picture was opened from; empty when none was.
QString lastPictureFolder();
// The files opened last, the latest first, at most kRecentFiles.
QStringList recentPictureFiles();
// A picture opened: it goes to the top of the recent files, its folder
// becomes the last folder.
void rememberOpenedPicture(const QString &fileName);
// A recent file that could not be opened leaves the list.
void forgetRecentPicture(const QString &fileName);

#endif // WINDOWSETTINGS_H
