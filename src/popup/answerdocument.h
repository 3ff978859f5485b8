#pragma once

#include <QColor>
#include <QObject>
#include <QPointer>
#include <QString>

class QQuickItem;
class QTextDocument;

// Fills the card's answer TextEdit from its `markdown`, `linkColor` and `codeBackground` properties: the answer rendered as Markdown, cut
// to what the card can lay out within a frame, with 3 pixels between lines. Nothing in an answer is ever loaded: images
// become their text, raw HTML stays text, and only web and mail links open, and only when clicked.
class AnswerDocument final : public QObject {
    Q_OBJECT

public:
    static constexpr qreal lineSpacing = 3;
    static constexpr qreal listIndent = 18;
    // Longer answers are cut (at a line break where one is near): laying out more would hold up the card.
    static constexpr qsizetype maximumShownLength = 4'000;
    static inline const QString cutNote = QStringLiteral("The answer is too long to show in full; it was cut here.");

    // Attaches to a TextEdit item (owned by it); does nothing for other items.
    static void attach(QQuickItem* textEdit);

    // The part of a text the card shows, and whether it was cut.
    static QString shownPart(const QString& text, qsizetype limit, bool* cut);
    // Replaces the document's content with the Markdown text, in one edit, as the card shows it.
    static void render(QTextDocument* document, const QString& markdown, const QColor& linkColor = {},
        const QColor& codeBackground = {});
    // The Markdown text as the card shows it, without its markup.
    static QString plainText(const QString& markdown);
    // Opens http, https and mailto links in the desktop's handler; ignores every other kind.
    static bool openLink(const QString& link);

private slots:
    void update();
    void activateLink(const QString& link);

private:
    explicit AnswerDocument(QQuickItem* textEdit);
    QPointer<QQuickItem> m_textEdit;
};
