// The built module file, loaded the way a host application loads it, registered, with
// one script object. Every test ends with nothing of the host's left held.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "minihost/host.h"

namespace velmora::testing {

class ModuleFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        file = minihost::ModuleFile::Open(VELMORA_MODULE_FILE, &error);
        ASSERT_NE(file, nullptr) << error;
        host = std::make_unique<minihost::Host>(file->exports());
        ASSERT_EQ(host->Register(&error), kOk) << error;
        object = host->NewObject();
        ASSERT_NE(object, nullptr);
    }
    void TearDown() override {
        object.reset();
        EXPECT_TRUE(host->accounting().Clean()) << minihost::Describe(host->accounting());
        EXPECT_EQ(host->TakeProblems(), std::vector<std::string>{});
        EXPECT_EQ(file->exports().canUnloadNow(), kOk);
    }
    minihost::Value Call(const std::string& method, const std::vector<minihost::Value>& args = {}) {
        const minihost::CallOutcome outcome = object->Call(method, args);
        EXPECT_TRUE(outcome.called()) << outcome.error;
        EXPECT_EQ(outcome.status, kOk) << method;
        return outcome.result;
    }
    // Every method but new and forget, each with placeholder arguments, answers 0.
    void ExpectEveryCallAnswersZero() {
        for (const minihost::MethodDecl& method : host->table().methods) {
            if (method.name == "new" || method.name == "forget") continue;
            std::vector<minihost::Value> args;
            for (const minihost::ParamDecl& p : method.params) {
                args.push_back(p.type == minihost::ParamDecl::Type::kString
                                   ? minihost::Value::Text("x")
                                   : minihost::Value::Integer(1));
            }
            EXPECT_EQ(Call(method.name, args), minihost::Value::Integer(0)) << method.name;
        }
    }

    std::unique_ptr<minihost::ModuleFile> file;
    std::unique_ptr<minihost::Host> host;
    std::unique_ptr<minihost::ScriptObject> object;
};

}  // namespace velmora::testing
