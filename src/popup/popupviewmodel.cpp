#include "popup/popupviewmodel.h"

#include "platform/freedmemory.h"
#include "popup/answerdocument.h"
#include "service/quilloraapiclient.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QPointer>
#include <QTimer>

namespace {

bool isBlankOrLineBreak(QChar c) { return c.isSpace(); }
bool isSpaceOrTab(QChar c) { return c == u' ' || c == u'\t'; }

template <typename Predicate> QString trimmed(const QString& text, Predicate isTrimmed)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isTrimmed(text.at(begin)))
        ++begin;
    while (end > begin && isTrimmed(text.at(end - 1)))
        --end;
    return text.sliced(begin, end - begin);
}

} // namespace

PopupViewModel::PopupViewModel(
    QuilloraAPIClient& apiClient, std::function<QString()> customSystemPrompt, QObject* parent)
    : QObject(parent)
    , m_apiClient(apiClient)
    , m_customSystemPrompt(std::move(customSystemPrompt))
{
    connect(this, &PopupViewModel::isLoadingChanged, this, &PopupViewModel::canSendChanged);
    connect(this, &PopupViewModel::followUpInputChanged, this, &PopupViewModel::canSendChanged);
    // Laying the answer out again for every piece would cost a layout per token; once a frame is enough to read.
    m_answerSoFarTimer.setSingleShot(true);
    m_answerSoFarTimer.setInterval(16);
    connect(&m_answerSoFarTimer, &QTimer::timeout, this, &PopupViewModel::showAnswerSoFar);
}

bool PopupViewModel::canSend() const { return !m_isLoading && !trimmed(m_followUpInput, isSpaceOrTab).isEmpty(); }

void PopupViewModel::setFollowUpInput(const QString& text)
{
    if (m_followUpInput == text)
        return;
    m_followUpInput = text;
    emit followUpInputChanged();
}

quint64 PopupViewModel::beginRequest()
{
    ++m_generation;
    m_apiClient.abortAll();
    m_answerSoFar.clear();
    m_answerSoFarTimer.stop();
    return m_generation;
}

std::function<void(const QString&)> PopupViewModel::piecesOfCurrentRequest()
{
    return [self = QPointer(this), generation = m_generation](const QString& piece) {
        if (!self || generation != self->m_generation || self->m_answerSoFar.size() > maximumKeptAnswerLength)
            return;
        self->m_answerSoFar += piece;
        if (!self->m_answerSoFarTimer.isActive())
            self->m_answerSoFarTimer.start();
    };
}

void PopupViewModel::showAnswerSoFar()
{
    bool cut = false;
    setDisplayText(AnswerDocument::shownPart(m_answerSoFar, maximumKeptAnswerLength, &cut));
    revealContent();
}

void PopupViewModel::resetForNewRequest()
{
    beginRequest();
    setConversationHistory({});
    setDisplayText({});
    setErrorMessage(std::nullopt);
    setAwaitingDirectQuery(false);
    setContentOpacity(0.0);
    setLoading(true);
}

void PopupViewModel::stopAnswer()
{
    if (!m_isLoading)
        return;
    beginRequest();
    setLoading(false);
}

void PopupViewModel::showFailure(const QString& message)
{
    beginRequest();
    setConversationHistory({});
    setDisplayText({});
    setAwaitingDirectQuery(false);
    setErrorMessage(message);
    revealContent();
    setLoading(false);
}

void PopupViewModel::prepareForDirectQuery(std::optional<AppContext> appContext)
{
    beginRequest();
    m_currentAppContext = std::move(appContext);
    setConversationHistory({});
    setDisplayText({});
    setErrorMessage(std::nullopt);
    setContentOpacity(0.0);
    setLoading(false);
    setAwaitingDirectQuery(true);
}

void PopupViewModel::submitDirectQuery(const QString& query)
{
    const QString question = trimmed(query, isBlankOrLineBreak);
    if (question.isEmpty())
        return;
    setAwaitingDirectQuery(false);
    explain(question, m_currentAppContext);
}

void PopupViewModel::explain(const QString& text, std::optional<AppContext> appContext)
{
    m_currentAppContext = appContext;
    resetForNewRequest();
    const QString prompt = m_customSystemPrompt();
    // The task runs on by itself; its result is applied through the guards inside it.
    [[maybe_unused]] auto task
        = applyResult(m_apiClient.explain(text, prompt, std::move(appContext), piecesOfCurrentRequest()),
            QStringLiteral("Explain: ") + text + QStringLiteral(" concisely"));
}

QCoro::Task<> PopupViewModel::explainImage(QByteArray imageData, std::optional<AppContext> appContext)
{
    const QString prompt = m_customSystemPrompt();
    return applyResult(
        m_apiClient.explainImage(std::move(imageData), prompt, std::move(appContext), piecesOfCurrentRequest()),
        QStringLiteral("Explain this screenshot concisely"));
}

void PopupViewModel::sendFollowUp(const QString& question)
{
    const QString trimmedQuestion = trimmed(question, isBlankOrLineBreak);
    if (trimmedQuestion.isEmpty())
        return;
    beginRequest();
    setFollowUpInput({});
    ConversationHistory history = m_conversationHistory;
    history.append(ConversationMessage::make(MessageRole::User, trimmedQuestion));
    setConversationHistory(std::move(history));
    setLoading(true);
    setContentOpacity(0.0);
    setDisplayText({});
    setErrorMessage(std::nullopt);
    const QString prompt = m_customSystemPrompt();
    [[maybe_unused]] auto task
        = applyResult(m_apiClient.followUp(m_conversationHistory, prompt, m_currentAppContext, piecesOfCurrentRequest()),
            std::nullopt);
}

QCoro::Task<> PopupViewModel::applyResult(
    QCoro::Task<ExplanationResult> request, std::optional<QString> openingQuestion)
{
    QPointer<PopupViewModel> self(this);
    const quint64 generation = m_generation;
    const ExplanationResult result = co_await std::move(request);
    if (!self || generation != m_generation)
        co_return;

    m_answerSoFarTimer.stop();
    // An answer that broke off is kept as far as it came, and said to be cut off; a follow-up can ask for the rest.
    const QString partial = std::exchange(m_answerSoFar, {});
    if (result.isSuccess() || !partial.isEmpty()) {
        bool cut = false;
        const QString answer = AnswerDocument::shownPart(
            result.isSuccess() ? result.explanation() : partial, maximumKeptAnswerLength, &cut);
        ConversationHistory history = openingQuestion ? ConversationHistory() : m_conversationHistory;
        if (openingQuestion)
            history.append(ConversationMessage::make(MessageRole::User, *openingQuestion));
        history.append(ConversationMessage::make(MessageRole::Assistant, answer));
        setConversationHistory(std::move(history));
        setDisplayText(answer);
        if (cut) // once the reply's buffers and the whole answer are gone, and the card has drawn
            QTimer::singleShot(1000, &releaseFreedMemory);
    }
    if (!result.isSuccess()) {
        // An error is a sentence or two; the card lays out no more than a few lines of one.
        constexpr qsizetype maximumErrorLength = 1000;
        QString description = result.error().description();
        if (description.size() > maximumErrorLength)
            description = description.left(maximumErrorLength - 1) + QChar(0x2026);
        setErrorMessage(partial.isEmpty() ? description : cutOffNote.arg(description));
    }
    revealContent();
    setLoading(false);
}

void PopupViewModel::copyAnswer() const
{
    if (m_displayText.isEmpty())
        return;
    auto* data = new QMimeData;
    data->setText(AnswerDocument::plainText(m_displayText));
    data->setData(QStringLiteral("text/markdown"), m_displayText.toUtf8());
    QGuiApplication::clipboard()->setMimeData(data);
}

void PopupViewModel::revealContent() { setContentOpacity(1.0); }

void PopupViewModel::setLoading(bool loading)
{
    if (m_isLoading == loading)
        return;
    m_isLoading = loading;
    emit isLoadingChanged();
}

void PopupViewModel::setDisplayText(const QString& text)
{
    if (m_displayText == text)
        return;
    m_displayText = text;
    emit displayTextChanged();
}

void PopupViewModel::setErrorMessage(std::optional<QString> message)
{
    if (m_errorMessage == message)
        return;
    m_errorMessage = std::move(message);
    emit errorMessageChanged();
}

void PopupViewModel::setContentOpacity(double opacity)
{
    if (qFuzzyCompare(m_contentOpacity + 1.0, opacity + 1.0))
        return;
    m_contentOpacity = opacity;
    emit contentOpacityChanged();
}

void PopupViewModel::setAwaitingDirectQuery(bool awaiting)
{
    if (m_isAwaitingDirectQuery == awaiting)
        return;
    m_isAwaitingDirectQuery = awaiting;
    emit isAwaitingDirectQueryChanged();
}

void PopupViewModel::setConversationHistory(ConversationHistory history)
{
    m_conversationHistory = std::move(history);
    emit conversationHistoryChanged();
}
