#pragma once

#include <QObject>
#include <QPointer>

class QQuickItem;

// Keeps 3 pixels between the lines of the card's answer. A QML TextEdit has no line spacing of its own, but
// its document does; this sets it again whenever the answer's text changes.
class AnswerLineSpacing final : public QObject {
    Q_OBJECT

public:
    static constexpr qreal spacing = 3;
    // Attaches to a TextEdit item (owned by it); does nothing for other items.
    static void attach(QQuickItem* textEdit);

private slots:
    void apply();

private:
    explicit AnswerLineSpacing(QQuickItem* textEdit);
    QPointer<QQuickItem> m_textEdit;
    bool m_applying = false;
};
