#pragma once

// What the popup tests share: a client for the stub service and the wait for a request to end.
#include "popup/popupviewmodel.h"
#include "service/quilloraapiclient.h"
#include "stubservice.h"
#include "testcerts.h"

#include <QJsonArray>
#include <QStandardPaths>
#include <QTest>

inline QuilloraAPIClient* clientFor(const StubService& stub)
{
    return new QuilloraAPIClient(stub.url(), "test-token", TestCerts::trustingTestCA());
}

// Waits for the request in flight to end. Every ending, answer or error, stops the dots and shows the content.
inline bool settled(const PopupViewModel& model)
{
    return QTest::qWaitFor([&] { return !model.isLoading(); }, 10000) && model.contentOpacity() == 1.0;
}
