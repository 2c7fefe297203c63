#ifndef EVENTHOOK_H
#define EVENTHOOK_H

#include <QEvent>
#include <QObject>

#include <functional>
#include <utility>

// Hands the events of one object to a function first, so that a window can
// answer drops, tool tips and the like on its widgets without overriding
// their event handlers. The function returns true for an event it has
// dealt with. Owned by the object it watches.
class EventHook : public QObject
{
public:
    using Handler = std::function<bool(QEvent *)>;

    EventHook(QObject *watched, Handler handler) : QObject(watched), handler(std::move(handler))
    {
        watched->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        return watched == parent() && handler(event);
    }

private:
    Handler handler;
};

#endif // EVENTHOOK_H
