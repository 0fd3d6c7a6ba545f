#ifndef LUMO_APP_FILEDROP_H
#define LUMO_APP_FILEDROP_H

#include <QList>
#include <QObject>
#include <QUrl>

#include <functional>

class QWidget;

// Takes drags that carry local files on a widget and hands the dropped URLs over. On the
// log, it keeps a file dropped there from going into the text as its URL.
class FileDropTarget : public QObject {
public:
    FileDropTarget(QWidget *widget, std::function<void(const QList<QUrl> &)> onDrop);
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    std::function<void(const QList<QUrl> &)> dropped;
};

#endif
