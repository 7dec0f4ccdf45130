#pragma once

#include <QObject>

namespace Updater {

// Tells a transfer of this layer to stop: the owner (the window, when it is closed) calls
// cancel(), and every transfer waiting on this object is aborted at once, as is every later one.
// Lives and is used on one thread.
class TransferCancellation : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    bool isCancelled() const { return m_cancelled; }

public slots:
    // Idempotent: cancelled() is emitted the first time only.
    void cancel()
    {
        if (m_cancelled)
            return;
        m_cancelled = true;
        emit cancelled();
    }

signals:
    void cancelled();

private:
    bool m_cancelled = false;
};

} // namespace Updater
