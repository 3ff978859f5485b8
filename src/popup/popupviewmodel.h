#pragma once

#include "wire/conversationmessage.h"
#include "wire/wirerecords.h"

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <optional>

class QuilloraAPIClient;
class ExplanationResult;

// The state behind the popup card and the three request flows that change it. Main thread only.
class PopupViewModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isLoading READ isLoading NOTIFY isLoadingChanged)
    Q_PROPERTY(QString displayText READ displayText NOTIFY displayTextChanged)
    Q_PROPERTY(QString errorMessage READ errorMessageText NOTIFY errorMessageChanged)
    Q_PROPERTY(bool hasError READ hasError NOTIFY errorMessageChanged)
    Q_PROPERTY(double contentOpacity READ contentOpacity NOTIFY contentOpacityChanged)
    Q_PROPERTY(QString followUpInput READ followUpInput WRITE setFollowUpInput NOTIFY followUpInputChanged)
    Q_PROPERTY(bool isAwaitingDirectQuery READ isAwaitingDirectQuery NOTIFY isAwaitingDirectQueryChanged)
    Q_PROPERTY(bool canSend READ canSend NOTIFY canSendChanged)
    Q_PROPERTY(int conversationLength READ conversationLength NOTIFY conversationHistoryChanged)

public:
    // Of an answer the card keeps (shows, and resends with follow-ups) no more than this: several times what it
    // lays out, so it still marks where the answer was cut.
    static constexpr qsizetype maximumKeptAnswerLength = 16'000;
    // Under an answer that broke off; %1 says why.
    static inline const QString cutOffNote = QStringLiteral("The answer was cut off here: %1");

    // customSystemPrompt: the user's prompt at the time of each request ("" for none).
    PopupViewModel(QuilloraAPIClient& apiClient, std::function<QString()> customSystemPrompt, QObject* parent = nullptr);

    bool isLoading() const { return m_isLoading; }
    QString displayText() const { return m_displayText; }
    std::optional<QString> errorMessage() const { return m_errorMessage; }
    QString errorMessageText() const { return m_errorMessage.value_or(QString()); }
    bool hasError() const { return m_errorMessage.has_value(); }
    double contentOpacity() const { return m_contentOpacity; }
    QString followUpInput() const { return m_followUpInput; }
    void setFollowUpInput(const QString& text);
    bool isAwaitingDirectQuery() const { return m_isAwaitingDirectQuery; }
    const ConversationHistory& conversationHistory() const { return m_conversationHistory; }
    int conversationLength() const { return int(m_conversationHistory.size()); }
    // The follow-up can be sent: nothing is loading and the field holds more than spaces and tabs.
    bool canSend() const;

    QuilloraAPIClient& apiClient() const { return m_apiClient; }
    std::optional<AppContext> currentAppContext() const { return m_currentAppContext; }
    void setCurrentAppContext(std::optional<AppContext> context) { m_currentAppContext = std::move(context); }

    // Starts explaining text; returns at once.
    void explain(const QString& text, std::optional<AppContext> appContext);
    // Explains a JPEG screenshot. The caller has stored the context and called resetForNewRequest().
    QCoro::Task<> explainImage(QByteArray imageData, std::optional<AppContext> appContext);
    void prepareForDirectQuery(std::optional<AppContext> appContext);
    Q_INVOKABLE void submitDirectQuery(const QString& query);
    Q_INVOKABLE void sendFollowUp(const QString& question);
    // Puts the answer shown on the clipboard, as plain text and as Markdown.
    Q_INVOKABLE void copyAnswer() const;
    void resetForNewRequest();
    // Ends the request in flight, if any, without showing anything of it.
    void stopAnswer();
    // Ends the card's current request, if any, showing `message` as its error.
    void showFailure(const QString& message);
    // Shows the answer area; the views fade it in.
    void revealContent();

signals:
    void isLoadingChanged();
    void displayTextChanged();
    void errorMessageChanged();
    void contentOpacityChanged();
    void followUpInputChanged();
    void isAwaitingDirectQueryChanged();
    void canSendChanged();
    void conversationHistoryChanged();

private:
    // Starts a request that supersedes every earlier one: those still in flight are aborted (their results
    // would be dropped anyway).
    quint64 beginRequest();
    // Awaits the request started last and, unless a newer one has superseded it, shows its answer or its
    // error. The answer is added to the conversation: after `openingQuestion` in a new one, else to the current.
    QCoro::Task<> applyResult(QCoro::Task<ExplanationResult> request, std::optional<QString> openingQuestion);
    // Where the current request's answer goes while it is being written: shown as it grows, at most once a frame.
    std::function<void(const QString&)> piecesOfCurrentRequest();
    void showAnswerSoFar();

    void setLoading(bool loading);
    void setDisplayText(const QString& text);
    void setErrorMessage(std::optional<QString> message);
    void setContentOpacity(double opacity);
    void setAwaitingDirectQuery(bool awaiting);
    void setConversationHistory(ConversationHistory history);

    QuilloraAPIClient& m_apiClient;
    std::function<QString()> m_customSystemPrompt;
    bool m_isLoading = false;
    QString m_displayText;
    std::optional<QString> m_errorMessage;
    double m_contentOpacity = 0.0;
    QString m_followUpInput;
    ConversationHistory m_conversationHistory;
    bool m_isAwaitingDirectQuery = false;
    std::optional<AppContext> m_currentAppContext;
    quint64 m_generation = 0;
    QString m_answerSoFar; // of the request in flight, while it streams
    QTimer m_answerSoFarTimer;
};
