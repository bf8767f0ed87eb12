// Helpers of the Windows tests that run under Wine: the shared file and
// environment helpers (tests/support/files.h), on a real drive there.
#pragma once

#include "files.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <windows.h>

#include <gtest/gtest.h>

namespace win {

using namespace testfs;

} // namespace win
