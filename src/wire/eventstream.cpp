#include "wire/eventstream.h"

bool EventStreamParser::feed(QByteArrayView bytes, QList<Event>* events)
{
    if (m_overflowed)
        return false;
    for (qsizetype start = 0; start < bytes.size();) {
        // A line ends at \n, \r\n or \r; a \n right after a \r ends nothing more.
        if (m_afterCarriageReturn && bytes[start] == '\n')
            ++start;
        m_afterCarriageReturn = false;
        qsizetype end = start;
        while (end < bytes.size() && bytes[end] != '\n' && bytes[end] != '\r')
            ++end;
        m_line += bytes.sliced(start, end - start);
        if (m_line.size() + m_event.data.size() > m_maximumEventBytes) {
            m_overflowed = true;
            return false;
        }
        if (end == bytes.size())
            break;
        m_afterCarriageReturn = bytes[end] == '\r';
        takeLine(m_line, events);
        m_line.clear();
        start = end + 1;
    }
    return true;
}

void EventStreamParser::takeLine(QByteArrayView line, QList<Event>* events)
{
    if (line.isEmpty()) {
        if (m_hasData)
            events->append(std::move(m_event));
        m_event = {};
        m_hasData = false;
        return;
    }
    if (line.startsWith(':'))
        return; // a comment, often a keep-alive
    const qsizetype colon = line.indexOf(':');
    const QByteArrayView field = colon < 0 ? line : line.first(colon);
    QByteArrayView value = colon < 0 ? QByteArrayView() : line.sliced(colon + 1);
    if (value.startsWith(' '))
        value = value.sliced(1);
    if (field == "data") {
        if (m_hasData)
            m_event.data += '\n';
        m_event.data += value;
        m_hasData = true;
    } else if (field == "event") {
        m_event.name = value.toByteArray();
    }
}

QByteArray eventStreamEvent(QByteArrayView name, QByteArrayView data)
{
    QByteArray event = "event: " + name.toByteArray() + '\n';
    for (const QByteArray& line : data.toByteArray().split('\n'))
        event += "data: " + line + '\n';
    return event + '\n';
}
