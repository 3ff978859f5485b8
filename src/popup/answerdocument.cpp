#include "popup/answerdocument.h"

#include <QDesktopServices>
#include <QQuickItem>
#include <QQuickTextDocument>
#include <QTextBlock>
#include <QTextBlockFormat>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QUrl>

#include <vector>

namespace {

// Parses Markdown without ever fetching what it refers to.
class InertDocument final : public QTextDocument {
protected:
    QVariant loadResource(int, const QUrl&) override { return {}; }
};

void replaceImagesWithText(QTextDocument& document);

// Markdown as the card reads it: GitHub's dialect, raw HTML shown as the text it is, images as their address.
void parseMarkdown(InertDocument& document, const QString& markdown)
{
    document.setMarkdown(
        markdown, QTextDocument::MarkdownFeatures(QTextDocument::MarkdownDialectGitHub) | QTextDocument::MarkdownNoHTML);
    replaceImagesWithText(document);
}

// Images become the text of their address; nothing will ask for them.
void replaceImagesWithText(QTextDocument& document)
{
    struct Image {
        int position;
        QString text;
    };
    std::vector<Image> images;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (!fragment.charFormat().isImageFormat())
                continue;
            // One object replacement character per image.
            for (int i = 0; i < fragment.length(); ++i)
                images.push_back({ fragment.position() + i, fragment.charFormat().toImageFormat().name() });
        }
    }
    QTextCursor cursor(&document);
    for (auto it = images.rbegin(); it != images.rend(); ++it) {
        cursor.setPosition(it->position);
        cursor.setPosition(it->position + 1, QTextCursor::KeepAnchor);
        cursor.insertText(it->text, QTextCharFormat());
    }
}

void colourLinks(QTextDocument& document, const QColor& colour)
{
    QTextCursor cursor(&document);
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (!fragment.charFormat().isAnchor())
                continue;
            QTextCharFormat format;
            format.setForeground(colour);
            cursor.setPosition(fragment.position());
            cursor.setPosition(fragment.position() + fragment.length(), QTextCursor::KeepAnchor);
            cursor.mergeCharFormat(format);
        }
    }
}

// Code, in blocks and within a line, on a tint, so it stands apart from the prose around it. (On the characters:
// Qt Quick's TextEdit does not draw a block's own background.)
void tintCode(QTextDocument& document, const QColor& colour)
{
    QTextCharFormat tinted;
    tinted.setBackground(colour);
    QTextCursor cursor(&document);
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        const QTextBlockFormat format = block.blockFormat();
        const bool codeBlock
            = format.hasProperty(QTextFormat::BlockCodeFence) || format.hasProperty(QTextFormat::BlockCodeLanguage);
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (!codeBlock && !fragment.charFormat().fontFixedPitch())
                continue;
            cursor.setPosition(fragment.position());
            cursor.setPosition(fragment.position() + fragment.length(), QTextCursor::KeepAnchor);
            cursor.mergeCharFormat(tinted);
        }
    }
}

} // namespace

void AnswerDocument::attach(QQuickItem* textEdit)
{
    if (!textEdit || !textEdit->property("textDocument").value<QQuickTextDocument*>())
        return;
    auto* answer = new AnswerDocument(textEdit);
    connect(textEdit, SIGNAL(markdownChanged()), answer, SLOT(update()));
    connect(textEdit, SIGNAL(linkColorChanged()), answer, SLOT(update()));
    connect(textEdit, SIGNAL(codeBackgroundChanged()), answer, SLOT(update()));
    connect(textEdit, SIGNAL(linkActivated(QString)), answer, SLOT(activateLink(QString)));
    answer->update();
}

AnswerDocument::AnswerDocument(QQuickItem* textEdit)
    : QObject(textEdit)
    , m_textEdit(textEdit)
{
}

QString AnswerDocument::shownPart(const QString& text, qsizetype limit, bool* cut)
{
    *cut = text.size() > limit;
    if (!*cut)
        return text;
    // End at the last line break in the final fifth, so no line is cut in two where that is easy.
    const qsizetype lineEnd = text.lastIndexOf(u'\n', limit - 1);
    qsizetype end = lineEnd >= limit - limit / 5 ? lineEnd : limit;
    if (end > 0 && text.at(end - 1).isHighSurrogate())
        --end;
    return text.left(end);
}

void AnswerDocument::render(
    QTextDocument* document, const QString& markdown, const QColor& linkColor, const QColor& codeBackground)
{
    bool cut = false;
    const QString shown = shownPart(markdown, maximumShownLength, &cut);

    InertDocument parsed;
    parsed.setDefaultFont(document->defaultFont());
    parseMarkdown(parsed, shown);
    if (linkColor.isValid())
        colourLinks(parsed, linkColor);
    if (codeBackground.isValid())
        tintCode(parsed, codeBackground);
    // A list's bullets hang in the margin of its text, not a tab stop past the paragraphs around it.
    document->setIndentWidth(listIndent);

    // One edit: the view lays the document out once, not once per block.
    document->setUndoRedoEnabled(false);
    QTextCursor cursor(document);
    cursor.beginEditBlock();
    cursor.select(QTextCursor::Document);
    cursor.removeSelectedText();
    cursor.setBlockFormat(QTextBlockFormat());
    cursor.setCharFormat(QTextCharFormat());
    if (!parsed.isEmpty())
        cursor.insertFragment(QTextDocumentFragment(&parsed));
    if (cut) {
        QTextCharFormat note;
        note.setFontItalic(true);
        cursor.movePosition(QTextCursor::End);
        cursor.insertBlock(QTextBlockFormat(), note);
        cursor.insertText(cutNote, note);
    }
    cursor.select(QTextCursor::Document);
    QTextBlockFormat spacing;
    spacing.setLineHeight(lineSpacing, QTextBlockFormat::LineDistanceHeight);
    spacing.setNonBreakableLines(false); // code wraps too: the card does not scroll sideways
    cursor.mergeBlockFormat(spacing);
    cursor.endEditBlock();
}

QString AnswerDocument::plainText(const QString& markdown)
{
    InertDocument parsed;
    parseMarkdown(parsed, markdown);
    return parsed.toPlainText();
}

bool AnswerDocument::openLink(const QString& link)
{
    const QUrl url(link, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid()
        || (scheme != QLatin1String("https") && scheme != QLatin1String("http") && scheme != QLatin1String("mailto")))
        return false;
    return QDesktopServices::openUrl(url);
}

void AnswerDocument::update()
{
    if (!m_textEdit)
        return;
    auto* document = m_textEdit->property("textDocument").value<QQuickTextDocument*>();
    if (!document || !document->textDocument())
        return;
    render(document->textDocument(), m_textEdit->property("markdown").toString(),
        m_textEdit->property("linkColor").value<QColor>(), m_textEdit->property("codeBackground").value<QColor>());
}

void AnswerDocument::activateLink(const QString& link) { openLink(link); }
