#include "platform/QtMainQueue.h"

#include <QMetaObject>
#include <QObject>

#include <utility>

namespace qarn {

QtMainQueue::QtMainQueue(QObject* context) : _context(context) {}

void QtMainQueue::dispatchAsync(Task task) {
    if (!task || !_context)
        return;
    QMetaObject::invokeMethod(_context, std::move(task), Qt::QueuedConnection);
}

}  // namespace qarn
