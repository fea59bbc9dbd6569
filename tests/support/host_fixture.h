// A host with the module linked in over the fake serial layer, registered and ready.
// Every test ends with nothing of the host's left held and no misuse seen.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "host/exports.h"
#include "methods/port_instance.h"
#include "minihost/host.h"
#include "tests/support/fake_serial.h"
#include "tests/support/linked_module.h"

namespace velmora::testing {

using minihost::Value;

class HostTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::FakeSerial::Get().Reset();
        host = std::make_unique<minihost::Host>(LinkedModule());
        std::string error;
        ASSERT_EQ(host->Register(&error), kOk) << error;
    }

    void TearDown() override {
        object.reset();
        EXPECT_TRUE(host->accounting().Clean()) << minihost::Describe(host->accounting());
        EXPECT_EQ(host->TakeProblems(), std::vector<std::string>{});
        EXPECT_EQ(DllCanUnloadNow(), kOk);
    }

    fake::FakeSerial& serial() { return fake::FakeSerial::Get(); }

    minihost::ScriptObject& Object() {
        if (!object) object = host->NewObject();
        return *object;
    }
    PortInstance& Port() { return *static_cast<PortInstance*>(Object().instance()); }

    minihost::CallOutcome Call(const std::string& method, const std::vector<Value>& args = {}) {
        minihost::CallOutcome outcome = Object().Call(method, args);
        EXPECT_TRUE(outcome.called()) << outcome.error;
        return outcome;
    }
    Value Answer(const std::string& method, const std::vector<Value>& args = {}) {
        return Call(method, args).result;
    }
    // Opens the fake port and forgets what the open called.
    void Open(const std::string& name = "COM1") {
        ASSERT_EQ(Answer("new", {Value::Text(name), Value::Integer(4096), Value::Integer(4096)}),
                  Value::Void());
        serial().calls.clear();
    }

    std::unique_ptr<minihost::Host> host;
    std::unique_ptr<minihost::ScriptObject> object;
};

}  // namespace velmora::testing
