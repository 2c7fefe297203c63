#include "hessianmaximamainwin.h"
#include "ui_hessianmaximamainwin.h"

HessianMaximaMainWin::HessianMaximaMainWin(QWidget *parent)
    : QMainWindow(parent),
      ui(new Ui::HessianMaximaMainWin),
      videoFrame(1280, 720, QImage::Format_RGB888)
{
    ui->setupUi(this);
    videoFrame.fill(QColor(0, 0, 0, 255));
    connect(&detectWatcher, &QFutureWatcherBase::finished, this,
            &HessianMaximaMainWin::finishDetectHessianDetMax);
}

HessianMaximaMainWin::~HessianMaximaMainWin()
{
    delete ui;
}

void HessianMaximaMainWin::openVideoFrame()
{
}

void HessianMaximaMainWin::executeDetectHessianDetMax()
{
}

void HessianMaximaMainWin::finishDetectHessianDetMax()
{
}
