#pragma once

#include <QByteArray>
#include <QList>

// Server-sent events (text/event-stream) as both ends of a streamed answer read them: the model's stream to
// quillora-service, and the service's stream to Quillora. Bytes are fed as they arrive, split anywhere; each
// event comes out whole once its blank line has arrived. Only the event and data fields are kept.
class EventStreamParser {
public:
    struct Event {
        QByteArray name = "message"; // the event field; "message" when absent
        QByteArray data; // the data lines joined by '\n'
    };

    // maximumEventBytes bounds one event (and one line), so a peer that never ends a line cannot grow us.
    explicit EventStreamParser(qsizetype maximumEventBytes)
        : m_maximumEventBytes(maximumEventBytes)
    {
    }

    // The events completed by these bytes; false once an event outgrew the bound (nothing more is read).
    bool feed(QByteArrayView bytes, QList<Event>* events);

private:
    void takeLine(QByteArrayView line, QList<Event>* events);

    qsizetype m_maximumEventBytes;
    QByteArray m_line;
    Event m_event;
    bool m_hasData = false;
    bool m_overflowed = false;
    bool m_afterCarriageReturn = false;
};

// One event as it goes on the wire.
QByteArray eventStreamEvent(QByteArrayView name, QByteArrayView data);
