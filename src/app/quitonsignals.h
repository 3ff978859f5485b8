#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP (a logout, `kill`, Ctrl+C) into an ordinary quit of the event loop, so
// Quillora leaves as it does from its menu: keys and bus name released, and the clipboard content it holds
// handed to a clipboard manager. A second signal during that quit ends the process at once.
class QuitOnSignals : public QObject {
public:
    explicit QuitOnSignals(QObject* parent = nullptr);
    ~QuitOnSignals() override;

private:
    QSocketNotifier* m_notifier = nullptr;
};
