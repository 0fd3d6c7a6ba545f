// Rates and the files arriving now: the sending bar's rate and time left, the reports' average
// rate lines, and the status-bar label of incoming files, polled only while something arrives.
#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include <QLabel>
#include <QProgressBar>

#include "transfer/receivethread.h"

QString MainWindow::rateLine(qint64 bytes, qint64 nsecs) const
{
    return QStringLiteral("平均速率:") + rates::mbPerSecond(bytes, nsecs) + QStringLiteral("MB/s\n");
}

// The file's bytes that left the program (taken by the system), not those read into its
// buffers: on a fast connection up to 4 MiB wait there.
qint64 MainWindow::sentBytes() const
{
    const qint64 read = sendWorker->fileBytesRead.load();
    return qBound(qMin(sendWorker->fileResumedFrom.load(), read), read - sendWorker->targetUnwritten.load(), read);
}

void MainWindow::sampleSendRate()
{
    if (!sendTime.isValid())
        return;
    const qint64 sent = sentBytes();
    // A resumed file's rate counts only the bytes that moved.
    const qint64 moved = qMax<qint64>(0, sent - sendWorker->fileResumedFrom.load());
    if (!sendRate.sample(moved, sendTime.elapsed()))
        return;
    // A stall shows as a rate of nothing, with no time left to promise.
    const double perSecond = qMax(0.0, sendRate.bytesPerSecond());
    const qint64 left = qMax<qint64>(0, sendWorker->fileSize.load() - sent);
    // The longest form that fits the bar: the window never grows for its text.
    const QString share = QString::number(transferProgressBar->value()) + QLatin1Char('%');
    const QString rate = rates::mbPerSecond(perSecond) + QStringLiteral("MB/s");
    const QString withLeft = perSecond > 0.0
        ? share + QStringLiteral("  ") + rate + QStringLiteral("  剩余") + rates::duration(qint64(double(left) / perSecond + 0.5))
        : QString();
    const QString forms[] = {withLeft, share + QStringLiteral("  ") + rate};
    const int room = transferProgressBar->contentsRect().width() - 12;
    QString text = share;
    for (const QString &form : forms) {
        if (!form.isEmpty() && transferProgressBar->fontMetrics().horizontalAdvance(form) <= room) {
            text = form;
            break;
        }
    }
    text.replace(share, QStringLiteral("%p%"));
    transferProgressBar->setFormat(text);
}

void MainWindow::pollIncoming()
{
    if (!incomingClock.isValid())
        incomingClock.start();
    const QString text = incomingMeter.update(recvProgress::active(), incomingClock.elapsed());
    if (text.isEmpty()) {
        incomingTimer.stop();
        incomingLabel->hide();
        return;
    }
    if (!incomingTimer.isActive())
        incomingTimer.start();
    // A peer's long name is cut in the middle rather than widening the window; its share and
    // rate always show.
    incomingLabel->setText(incomingMeter.fitted(incomingLabel->fontMetrics(), incomingLabel->maximumWidth()));
    incomingLabel->setToolTip(text);
    incomingLabel->show();
}
