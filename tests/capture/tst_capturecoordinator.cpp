// The capture logic on the fake platform: categories, the application context, the reader's order of
// sources and its care for the clipboard, the coordinator's decisions, the D-Bus entry, the command
// line and the accessibility prompt's model.
#include "capture/accessibilityreader.h"
#include "capture/appcontext.h"
#include "capture/capturepresenter.h"
#include "capture/commandline.h"
#include "capture/servicehandler.h"
#include "capture/textcapturecoordinator.h"
#include "fakeplatform.h"
#include "onboarding/accessibilitypermissionmodel.h"

#include <QBuffer>
#include <QSignalSpy>
#include <QTest>

namespace {

struct RecordingPresenter final : CapturePresenter {
    QStringList calls;
    std::optional<QRectF> anchor;
    QString text;
    std::optional<AppContext> context;

    void showPopup(std::optional<QRectF> a) override
    {
        calls << QStringLiteral("showPopup");
        anchor = a;
    }
    void explain(const QString& t, std::optional<AppContext> c) override
    {
        calls << QStringLiteral("explain");
        text = t;
        context = std::move(c);
    }
    void prepareForDirectQuery(std::optional<AppContext> c) override
    {
        calls << QStringLiteral("prepareForDirectQuery");
        context = std::move(c);
    }
    void showTooltip(const QString& icon, const QString& message, std::chrono::milliseconds delay) override
    {
        calls << QStringLiteral("tooltip %1 %2 %3").arg(icon, message).arg(delay.count());
    }
    void showAccessibilityPrompt() override { calls << QStringLiteral("accessibilityPrompt"); }
};

FrontmostAppInfo app(const QString& id, qint64 pid = 4242)
{
    return { id, QStringLiteral("Some App"), pid, QStringLiteral("A window"), 77 };
}

PasteboardSnapshot richClipboard()
{
    return { { { QStringLiteral("image/png"), QByteArray("\x89PNG\r\n\x1a\n\0\1", 10) },
        { QStringLiteral("text/html"), QByteArray("<b>kept</b>") }, { QStringLiteral("text/plain"), QByteArray("kept") } } };
}

} // namespace

class TestCaptureCoordinator : public QObject {
    Q_OBJECT

private:
    FakePlatform fakes;

    SelectionReading read()
    {
        AccessibilityReader reader;
        return QCoro::waitFor(reader.readSelection());
    }

private slots:
    void init() { fakes = FakePlatform::install(); }

    void categoryTable_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("category");
        // Prefix rows take longer ids; exact rows do not.
        QTest::newRow("prefix longer") << "com.apple.SafariTechnologyPreview" << "browser";
        QTest::newRow("exact longer") << "com.apple.Preview.extra" << "general";
        QTest::newRow("exact") << "com.apple.Preview" << "pdf_reader";
        QTest::newRow("jetbrains") << "com.jetbrains.pycharm" << "code_editor";
        QTest::newRow("jetbrains without dot") << "com.jetbrains" << "general";
        QTest::newRow("sublime") << "com.sublimetext.4" << "code_editor";
        QTest::newRow("case matters") << "COM.APPLE.TERMINAL" << "general";
        QTest::newRow("empty") << "" << "general";
        QTest::newRow("telegram mac") << "ru.keepcoder.Telegram" << "communication";
        // Linux applications, by desktop-file id, Flatpak id or window class.
        QTest::newRow("gnome terminal") << "org.gnome.Terminal" << "terminal";
        QTest::newRow("konsole") << "org.kde.konsole" << "terminal";
        QTest::newRow("xterm class") << "XTerm" << "terminal";
        QTest::newRow("debian xterm") << "debian-xterm" << "terminal";
        QTest::newRow("kitty") << "kitty" << "terminal";
        QTest::newRow("alacritty") << "Alacritty" << "terminal";
        QTest::newRow("firefox esr") << "firefox-esr" << "browser";
        QTest::newRow("chromium") << "chromium" << "browser";
        QTest::newRow("vs code") << "code" << "code_editor";
        QTest::newRow("vs code url handler") << "code-url-handler" << "general";
        QTest::newRow("kate") << "org.kde.kate" << "code_editor";
        QTest::newRow("okular") << "org.kde.okular" << "pdf_reader";
        QTest::newRow("evince") << "org.gnome.Evince" << "pdf_reader";
        QTest::newRow("writer") << "libreoffice-writer" << "document_editor";
        QTest::newRow("impress") << "libreoffice-impress" << "presentation";
        QTest::newRow("thunderbird") << "thunderbird" << "communication";
        QTest::newRow("telegram") << "org.telegram.desktop" << "communication";
    }

    void categoryTable()
    {
        QFETCH(QString, id);
        QFETCH(QString, category);
        QCOMPARE(AppContextCapture::category(id), category);
    }

    void applicationContext()
    {
        QVERIFY(!AppContextCapture::capture(*fakes.frontmostApplication)); // nothing active: no context at all

        fakes.frontmostApplication->app = FrontmostAppInfo { QString(), QString(), 12, QString(), 1 };
        std::optional<AppContext> context = AppContextCapture::capture(*fakes.frontmostApplication);
        QVERIFY(context);
        QCOMPARE(context->bundleID, QString());
        QCOMPARE(context->appName, QStringLiteral("Unknown"));
        QCOMPARE(context->appCategory, QStringLiteral("general"));
        QVERIFY(!context->windowTitle); // an empty title is left out

        fakes.frontmostApplication->app = app(QStringLiteral("org.kde.okular"));
        context = AppContextCapture::capture(*fakes.frontmostApplication);
        QCOMPARE(context->appName, QStringLiteral("Some App"));
        QCOMPARE(context->appCategory, QStringLiteral("pdf_reader"));
        QCOMPARE(context->windowTitle, QStringLiteral("A window"));
    }

    void accessibleSelectionComesFirst()
    {
        fakes.frontmostApplication->app = app(QStringLiteral("org.gnome.gedit"));
        fakes.accessibility->selection = AccessibleSelection { QStringLiteral("  both  "), QRectF(100, 50, 200, 20) };
        fakes.pasteboard->primaryByOwnerPid.insert(4242, QStringLiteral("primary"));
        const SelectionReading reading = read();
        QCOMPARE(reading.text, QStringLiteral("  both  "));
        QCOMPARE(reading.bounds, QRectF(100, 50, 200, 20));
        QCOMPARE(fakes.accessibility->lastPid, 4242);
        QVERIFY(fakes.keyboard->copyShortcutsSent.isEmpty());
    }

    void primaryOnlyFromTheFrontmostApplication()
    {
        fakes.frontmostApplication->app = app(QStringLiteral("org.gnome.gedit"));
        fakes.accessibility->selection = AccessibleSelection { QString(), QRectF(1, 1, 1, 1) }; // empty is nothing
        fakes.pasteboard->primaryByOwnerPid.insert(4242, QStringLiteral("from primary"));
        SelectionReading reading = read();
        QCOMPARE(reading.text, QStringLiteral("from primary"));
        QVERIFY(!reading.bounds);
        QVERIFY(fakes.keyboard->copyShortcutsSent.isEmpty());

        fakes.pasteboard->primaryByOwnerPid = { { 1111, QStringLiteral("another application's") } };
        reading = read();
        QVERIFY(!reading.text);
        QCOMPARE(fakes.keyboard->copyShortcutsSent, QList<bool> { false });
    }

    void copyShortcutRestoresTheWholeClipboard()
    {
        fakes.frontmostApplication->app = app(QStringLiteral("libreoffice-writer"));
        fakes.pasteboard->setContent(richClipboard());
        fakes.keyboard->textToCopy = QStringLiteral("copied words");

        const SelectionReading reading = read();
        QCOMPARE(reading.text, QStringLiteral("copied words"));
        QVERIFY(!reading.bounds);
        QCOMPARE(fakes.pasteboard->content.formats, richClipboard().formats);
    }

    void nothingCopiedTouchesNothing()
    {
        fakes.frontmostApplication->app = app(QStringLiteral("libreoffice-writer"));
        fakes.pasteboard->setContent(richClipboard());
        const quint64 changes = fakes.pasteboard->changeCount();
        QVERIFY(!read().text);
        QCOMPARE(fakes.pasteboard->changeCount(), changes);

        fakes.keyboard->textToCopy = QString(); // the application copied an empty text
        QVERIFY(!read().text);
        QCOMPARE(fakes.pasteboard->content.formats, richClipboard().formats);
    }

    void terminalsNeverGetPlainControlC()
    {
        fakes.frontmostApplication->app = app(QStringLiteral("org.gnome.Terminal"));
        fakes.keyboard->textToCopy = QStringLiteral("ls -la");
        QCOMPARE(read().text, QStringLiteral("ls -la"));
        QCOMPARE(fakes.keyboard->copyShortcutsSent, QList<bool> { true });

        // xterm has no copy key at all: any Ctrl+C variant would interrupt its program.
        fakes.frontmostApplication->app = app(QStringLiteral("debian-xterm"));
        QVERIFY(!read().text);
        QCOMPARE(fakes.keyboard->copyShortcutsSent.size(), 1);
    }

    void explainSelectedTextFlows()
    {
        RecordingPresenter presenter;
        TextCaptureCoordinator coordinator(presenter);
        fakes.frontmostApplication->app = app(QStringLiteral("org.kde.kate"));

        fakes.accessibility->usable = false;
        QCoro::waitFor(coordinator.explainSelectedText());
        QCOMPARE(presenter.calls, QStringList { "accessibilityPrompt" });
        QCOMPARE(fakes.accessibility->selectionReads, 0);

        fakes.accessibility->usable = true;
        presenter.calls.clear();
        QCoro::waitFor(coordinator.explainSelectedText());
        QCOMPARE(presenter.calls, QStringList { "tooltip text.cursor No text selected 2000" });

        presenter.calls.clear();
        fakes.accessibility->selection = AccessibleSelection { QStringLiteral("   "), QRectF(100, 50, 200, 20) };
        QCoro::waitFor(coordinator.explainSelectedText());
        QCOMPARE(presenter.calls, (QStringList { "showPopup", "explain" }));
        QCOMPARE(presenter.anchor, QRectF(100, 50, 200, 20));
        QCOMPARE(presenter.text, QStringLiteral("   "));
        QCOMPARE(presenter.context->appCategory, QStringLiteral("code_editor"));
    }

    void aSecondTriggerDuringAReadingIsDropped()
    {
        RecordingPresenter presenter;
        TextCaptureCoordinator coordinator(presenter);
        fakes.accessibility->selection = AccessibleSelection { QStringLiteral("once"), std::nullopt };
        QCoro::Task<> first = coordinator.explainSelectedText();
        QCoro::Task<> second = coordinator.explainSelectedText();
        QCoro::waitFor(first);
        QCoro::waitFor(second);
        QCOMPARE(presenter.calls.count(QStringLiteral("explain")), 1);
        QVERIFY(!coordinator.isReading());
    }

    void explainTextAndAskAnything()
    {
        RecordingPresenter presenter;
        TextCaptureCoordinator coordinator(presenter);
        coordinator.explainText(QStringLiteral(" handed over "));
        QCOMPARE(presenter.calls, (QStringList { "showPopup", "explain" }));
        QVERIFY(!presenter.anchor);
        QCOMPARE(presenter.text, QStringLiteral(" handed over "));
        QVERIFY(!presenter.context); // no active application: sent without a context

        presenter.calls.clear();
        fakes.frontmostApplication->app = app(QStringLiteral("thunderbird"));
        coordinator.askAnything();
        QCOMPARE(presenter.calls, (QStringList { "showPopup", "prepareForDirectQuery" }));
        QCOMPARE(presenter.context->appCategory, QStringLiteral("communication"));
    }

    void dbusEntryPassesTextOnLaterAndInOrder()
    {
        ServiceHandler handler;
        QStringList received;
        handler.onTextReceived = [&](const QString& text) { received << text; };
        handler.ExplainText(QString());
        handler.ExplainText(QStringLiteral(" "));
        handler.ExplainText(QStringLiteral("second"));
        QVERIFY(received.isEmpty()); // the caller is answered before any work starts
        QTRY_COMPARE(received, (QStringList { " ", "second" }));

        ServiceHandler bare; // nothing connected: accepted, nothing happens
        bare.ExplainText(QStringLiteral("x"));
        bare.ExplainScreenshot();
        QTest::qWait(10);
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("action"); // -1: rejected
        QTest::addColumn<QString>("text");
        using A = CommandLineRequest::Action;
        QTest::newRow("nothing") << QStringList {} << QByteArray() << int(A::Run) << "";
        QTest::newRow("text") << QStringList { "--explain-text", " a b " } << QByteArray() << int(A::ExplainText) << " a b ";
        QTest::newRow("text with =") << QStringList { "--explain-text=x=y" } << QByteArray() << int(A::ExplainText) << "x=y";
        QTest::newRow("empty text") << QStringList { "--explain-text", "" } << QByteArray() << int(A::ExplainText) << "";
        QTest::newRow("stdin") << QStringList { "--explain-text", "-" } << QByteArray("piped\n") << int(A::ExplainText) << "piped\n";
        QTest::newRow("selection") << QStringList { "--explain-selection" } << QByteArray() << int(A::ExplainSelection) << "";
        QTest::newRow("ask") << QStringList { "--ask" } << QByteArray() << int(A::AskAnything) << "";
        QTest::newRow("missing text") << QStringList { "--explain-text" } << QByteArray() << -1 << "";
        QTest::newRow("two actions") << QStringList { "--ask", "--explain-text", "x" } << QByteArray() << -1 << "";
        QTest::newRow("unknown") << QStringList { "--screenshot" } << QByteArray() << -1 << "";
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, input);
        QFETCH(int, action);
        QFETCH(QString, text);
        QBuffer stdinBuffer(&input);
        stdinBuffer.open(QIODevice::ReadOnly);
        QString error;
        const auto request = CommandLine::parse(QStringList { "quillora" } + arguments, &stdinBuffer, &error);
        if (action < 0) {
            QVERIFY(!request);
            QVERIFY(!error.isEmpty());
            return;
        }
        QVERIFY2(request, qPrintable(error));
        QCOMPARE(int(request->action), action);
        QCOMPARE(request->text, text);
    }

    void promptClosesAfterTheSupportIsSeenOn()
    {
        fakes.accessibility->usable = true; // already on when the prompt appears
        AccessibilityPermissionModel model(fakes.accessibility);
        QSignalSpy dismissed(&model, &AccessibilityPermissionModel::dismissRequested);
        model.startPolling();
        QVERIFY(!model.isGranted()); // no check at the moment of appearing
        QTRY_VERIFY_WITH_TIMEOUT(model.isGranted(), 5000);
        QVERIFY(!model.isPolling());
        QVERIFY(dismissed.isEmpty());
        QVERIFY(dismissed.wait(5000));
    }

    void promptButtonTurnsSupportOnAndCloseStopsPolling()
    {
        fakes.accessibility->usable = false;
        AccessibilityPermissionModel model(fakes.accessibility);
        model.startPolling();
        model.turnOn();
        QTRY_VERIFY(fakes.accessibility->usable);
        QVERIFY(model.isPolling()); // the button leaves polling alone

        QSignalSpy dismissed(&model, &AccessibilityPermissionModel::dismissRequested);
        model.dismiss();
        QCOMPARE(dismissed.size(), 1);
        QVERIFY(!model.isPolling());
        QTest::qWait(2500); // a tick would have come by now
        QVERIFY(!model.isGranted());
    }
};

QTEST_MAIN(TestCaptureCoordinator)
#include "tst_capturecoordinator.moc"
