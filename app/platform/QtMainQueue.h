#pragma once

#include "platform/MainQueue.h"

class QObject;

namespace qarn {

// The main queue of a Qt application: tasks are queued to the thread of the context object (the
// GUI thread). Tasks still queued when the context object is destroyed are dropped; the context
// must outlive every thread that dispatches to it.
class QtMainQueue : public MainQueue {
public:
    explicit QtMainQueue(QObject* context);

    void dispatchAsync(Task task) override;

private:
    QObject* _context;
};

}  // namespace qarn
