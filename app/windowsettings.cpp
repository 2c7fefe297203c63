#include "windowsettings.h"

#include "detectionjob.h"
#include "frameloading.h"
#include "ui_hessianmaximamainwin.h"
#include "windowtools.h"

#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QMainWindow>
#include <QSettings>
#include <QStringList>
#include <QVariant>
#include <QSpinBox>

#include <memory>

namespace {

std::unique_ptr<QSettings> openSettings()
{
    return std::unique_ptr<QSettings>(new QSettings(QSettings::IniFormat, QSettings::UserScope,
                                                    QStringLiteral("hessian-maxima"),
                                                    QStringLiteral("hessian-maxima")));
}

const char *polarityKey(PolarityFilter filter)
{
    return filter == PolarityFilter::Bright ? "bright" : filter == PolarityFilter::Dark ? "dark" : "both";
}

QString stretchKey(StretchMode mode)
{
    if (mode == StretchMode::Default)
        return QStringLiteral("auto");
    StretchUsed used;
    used.mode = mode;
    return stretchName(used).section(QLatin1Char(':'), 0, 0);
}

// A number stored, when it is one and the box takes it.
void restoreValue(const QSettings &settings, const char *key, QDoubleSpinBox *box)
{
    bool ok = false;
    const double value = settings.value(QLatin1String(key)).toDouble(&ok);
    if (ok && value >= box->minimum() && value <= box->maximum())
        box->setValue(value);
}

} // namespace

void restoreWindowSettings(QMainWindow *window, Ui::HessianMaximaMainWin *ui, WindowTools *tools)
{
    const std::unique_ptr<QSettings> settings = openSettings();
    restoreValue(*settings, "sigma", ui->hessianSigmaSBox);
    restoreValue(*settings, "threshold", ui->maxThresholdSBox);
    bool ok = false;
    const int scales = settings->value(QStringLiteral("scales")).toInt(&ok);
    if (ok && scales >= tools->scalesSBox->minimum() && scales <= tools->scalesSBox->maximum())
        tools->scalesSBox->setValue(scales);
    // Its least value follows sigma, so it comes after.
    restoreValue(*settings, "sigmaMax", tools->sigmaMaxSBox);
    PolarityFilter polarity = PolarityFilter::Both;
    if (parsePolarityName(settings->value(QStringLiteral("polarity")).toString(), &polarity))
        tools->polarityCBox->setCurrentIndex(tools->polarityCBox->findData((int)polarity));
    const QString stretch = settings->value(QStringLiteral("stretch")).toString();
    StretchChoice choice;
    if (stretch == QLatin1String("auto") || parseStretchName(stretch, &choice))
        tools->showStretch(choice.mode);
    const QByteArray geometry = settings->value(QStringLiteral("geometry")).toByteArray();
    if (!geometry.isEmpty())
        window->restoreGeometry(geometry);
    const QByteArray state = settings->value(QStringLiteral("windowState")).toByteArray();
    if (!state.isEmpty())
        window->restoreState(state);
}

void saveWindowSettings(const QMainWindow *window, const Ui::HessianMaximaMainWin *ui, const WindowTools *tools)
{
    const std::unique_ptr<QSettings> settings = openSettings();
    settings->setValue(QStringLiteral("sigma"), ui->hessianSigmaSBox->value());
    settings->setValue(QStringLiteral("threshold"), ui->maxThresholdSBox->value());
    settings->setValue(QStringLiteral("scales"), tools->scalesSBox->value());
    settings->setValue(QStringLiteral("sigmaMax"), tools->sigmaMaxSBox->value());
    settings->setValue(QStringLiteral("polarity"), QLatin1String(polarityKey(tools->polarity())));
    settings->setValue(QStringLiteral("stretch"), stretchKey(tools->stretch()));
    settings->setValue(QStringLiteral("geometry"), window->saveGeometry());
    settings->setValue(QStringLiteral("windowState"), window->saveState());
}

QString lastPictureFolder()
{
    const QString folder = openSettings()->value(QStringLiteral("lastFolder")).toString();
    return !folder.isEmpty() && QFileInfo(folder).isDir() ? folder : QString();
}

QStringList recentPictureFiles()
{
    return openSettings()->value(QStringLiteral("recentFiles")).toStringList().mid(0, kRecentFiles);
}

void rememberOpenedPicture(const QString &fileName)
{
    const QFileInfo info(fileName);
    const QString path = info.absoluteFilePath();
    const std::unique_ptr<QSettings> settings = openSettings();
    QStringList recent = settings->value(QStringLiteral("recentFiles")).toStringList();
    recent.removeAll(path);
    recent.prepend(path);
    settings->setValue(QStringLiteral("recentFiles"), QStringList(recent.mid(0, kRecentFiles)));
    settings->setValue(QStringLiteral("lastFolder"), info.absolutePath());
}

void forgetRecentPicture(const QString &fileName)
{
    const std::unique_ptr<QSettings> settings = openSettings();
    QStringList recent = settings->value(QStringLiteral("recentFiles")).toStringList();
    if (recent.removeAll(QFileInfo(fileName).absoluteFilePath()) > 0)
        settings->setValue(QStringLiteral("recentFiles"), recent);
}
