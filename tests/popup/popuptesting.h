#pragma once

#include "fakeplatform.h"
#include "popupstack.h"
#include "stubservice.h"
#include "testcerts.h"

#include <QJsonArray>
#include <QStandardPaths>
#include <QTest>

// Waits for the request in flight to end. Every ending, answer or error, stops the dots and shows the content.
inline bool settled(const PopupViewModel& model)
{
    return QTest::qWaitFor([&] { return !model.isLoading(); }, 10000) && model.contentOpacity() == 1.0;
}

// For each test (setUp() from init()): a controller on the fake desktop, talking to a fresh stub service.
struct PopupFixture {
    FakePlatform fakes {};
    std::unique_ptr<StubService> stub;
    std::unique_ptr<PopupStack> popup;
    PopupWindowController* controller = nullptr;
    PopupViewModel* model = nullptr;

    PopupFixture() { QStandardPaths::setTestModeEnabled(true); }
    void setUp()
    {
        popup.reset();
        fakes = FakePlatform::make();
        stub = std::make_unique<StubService>();
        popup = std::make_unique<PopupStack>(*fakes, stub->url());
        controller = &popup->controller;
        model = &popup->model;
    }
    // Explains some text, answered with this, and waits.
    bool explainAnswered(const QString& answer)
    {
        stub->replyWithExplanation(answer);
        model->explain(QStringLiteral("a"), std::nullopt);
        return settled(*model);
    }
};

// A value of the request's JSON body by its path, as in "appContext/appName".
inline QJsonValue sent(const StubService::Request& request, const QString& path)
{
    QJsonValue value = request.json();
    for (const QString& key : path.split(u'/'))
        value = value.toObject().value(key);
    return value;
}
