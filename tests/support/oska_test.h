// Test fixture: the library loaded by file name, as a host loads it, and
// bound to the stand-in host, which starts every test empty.
#ifndef OSKA_TESTS_OSKA_TEST_H
#define OSKA_TESTS_OSKA_TEST_H

#include "library.h"

#include <oska/host_api.h>
#include <oska/standin/host.h>

#include <gtest/gtest.h>

namespace oska::test {

class OskaTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host.reset();
        ASSERT_NE(lib.miSetModuleHandle, nullptr);
        lib.miSetModuleHandle(host::module_handle());
    }
    void TearDown() override { host.release_leaks(); }

    host::Library &lib = library();
    host::Host &host = host::host();
};

} // namespace oska::test

#endif
