#pragma once

// Conversation turns live in the QtCore-only wire library that the explanation service shares.
#include "wire/conversationmessage.h"
