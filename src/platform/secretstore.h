#pragma once

#include <QByteArray>
#include <QCoroTask>
#include <QString>

// Small secrets (the explanation service's token) kept in the desktop's keyring, out of the settings file.
// Every call ends within a bounded time, on the calling thread, without blocking it.
class SecretStore {
public:
    enum class Outcome {
        Done,
        NotFound, // nothing is stored under that name
        Locked, // the keyring stayed locked: the user dismissed its unlock question, or left it unanswered
        Unavailable, // no keyring answers in this session, or it failed
    };
    struct Read {
        Outcome outcome = Outcome::Unavailable;
        QByteArray secret;
    };

    virtual ~SecretStore() = default;
    virtual QCoro::Task<Read> read(QString name) = 0;
    // Replaces what is stored under the name. label is what the keyring's own manager shows.
    virtual QCoro::Task<Outcome> write(QString name, QByteArray secret, QString label) = 0;
    // Done also when nothing was stored.
    virtual QCoro::Task<Outcome> remove(QString name) = 0;
};
