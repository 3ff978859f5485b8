#include "popup/answerlinespacing.h"

#include <QQuickItem>
#include <QQuickTextDocument>
#include <QTextBlockFormat>
#include <QTextCursor>
#include <QTextDocument>

void AnswerLineSpacing::attach(QQuickItem* textEdit)
{
    if (!textEdit || !textEdit->property("textDocument").value<QQuickTextDocument*>())
        return;
    auto* spacing = new AnswerLineSpacing(textEdit);
    connect(textEdit, SIGNAL(textChanged()), spacing, SLOT(apply()));
    spacing->apply();
}

AnswerLineSpacing::AnswerLineSpacing(QQuickItem* textEdit)
    : QObject(textEdit)
    , m_textEdit(textEdit)
{
}

void AnswerLineSpacing::apply()
{
    // Changing the format reports a change of the text as well.
    if (m_applying || !m_textEdit)
        return;
    auto* document = m_textEdit->property("textDocument").value<QQuickTextDocument*>();
    if (!document || !document->textDocument())
        return;
    m_applying = true;
    QTextCursor cursor(document->textDocument());
    cursor.select(QTextCursor::Document);
    QTextBlockFormat format;
    format.setLineHeight(spacing, QTextBlockFormat::LineDistanceHeight);
    cursor.mergeBlockFormat(format);
    m_applying = false;
}
