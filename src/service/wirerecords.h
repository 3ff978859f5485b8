#pragma once

// The wire records live in the QtCore-only library that the explanation service shares.
#include "wire/wirerecords.h"
