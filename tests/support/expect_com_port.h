// The one check of a port failure: the call raises EComPort with exactly
// this message.
#pragma once

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "comport/serial_port.h"

namespace testing_support {

inline void expectThrows(const std::function<void()>& f, const std::string& message) {
  try {
    f();
    ADD_FAILURE() << "expected EComPort \"" << message << "\"";
  } catch (const comport::EComPort& e) {
    EXPECT_EQ(e.what(), message);
  }
}

}  // namespace testing_support
