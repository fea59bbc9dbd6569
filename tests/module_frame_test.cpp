// The exports, the class list, class forms and the interface objects' reference rules.
#include <gtest/gtest.h>

#include <cstring>

#include "extension/class_ids.h"
#include "extension/port_instance.h"
#include "host/exports.h"
#include "host/interface_ids.h"
#include "minihost/host.h"
#include "tests/support/fake_serial.h"
#include "tests/support/linked_module.h"

namespace velmora::testing {
namespace {

class ModuleFrameTest : public ::testing::Test {
  protected:
    void SetUp() override { fake::FakeSerial::Get().Reset(); }
    void TearDown() override {
        EXPECT_TRUE(host.accounting().Clean()) << minihost::Describe(host.accounting());
        EXPECT_EQ(host.TakeProblems(), std::vector<std::string>{});
        EXPECT_EQ(DllCanUnloadNow(), kOk);
    }
    // The host's allocator, reached through an instance header it made.
    IAllocatorService* Allocator() {
        void* instance = host.NewInstance(sizeof(InstanceHeader));
        IAllocatorService* allocator = static_cast<InstanceHeader*>(instance)->allocator;
        host.DeleteInstance(instance);
        return allocator;
    }
    int OwnerRefs(void* instance) {
        auto* header = static_cast<InstanceHeader*>(instance);
        header->ops->AddRef(header);
        return header->ops->Release(header) - 1;  // references beyond the host's own
    }
    minihost::Host host{LinkedModule()};
};

TEST_F(ModuleFrameTest, ClassListHasFourEntriesAndATerminatorIn200Bytes) {
    IAllocatorService* allocator = Allocator();
    ClassInfoEntry* list = nullptr;
    ASSERT_EQ(DllGetClassInfo(allocator, &list), kOk);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(host.accounting().liveBlocks, 1);
    EXPECT_EQ(host.LastAllocationSize(), 200u);

    const ClassInfoEntry expected[] = {
        {kRegistrationClassId, kClassVersion, kIidClassFactory, 1},
        {kRegistrationClassId, kClassVersion, kIidRegistration, kClassVersion},
        {kScriptingClassId, kClassVersion, kIidClassFactory, 1},
        {kScriptingClassId, kClassVersion, kIidScripting, kClassVersion},
    };
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(SameGuid(list[i].classId, expected[i].classId));
        EXPECT_EQ(list[i].classVersion, expected[i].classVersion);
        EXPECT_TRUE(SameGuid(list[i].interfaceId, expected[i].interfaceId));
        EXPECT_EQ(list[i].interfaceVersion, expected[i].interfaceVersion);
    }
    // The terminator: both IDs zero, its versions left as the allocator filled them.
    const Guid zero{};
    EXPECT_TRUE(SameGuid(list[4].classId, zero));
    EXPECT_TRUE(SameGuid(list[4].interfaceId, zero));
    EXPECT_EQ(list[4].classVersion, 0xCDCDCDCDu);
    allocator->ops->Free(allocator, list);
}

TEST_F(ModuleFrameTest, ClassIdsAreTheModulesOwnAndDistinct) {
    EXPECT_FALSE(SameGuid(kRegistrationClassId, kScriptingClassId));
    EXPECT_FALSE(SameGuid(kRegistrationClassId, kIidRegistration));
    EXPECT_FALSE(SameGuid(kScriptingClassId, kIidScripting));
}

TEST_F(ModuleFrameTest, FailedClassListAllocationReturnsNullAndLeavesNothing) {
    IAllocatorService* allocator = Allocator();
    host.faults().allocsBeforeFailure = 0;
    ClassInfoEntry* list = reinterpret_cast<ClassInfoEntry*>(0x1);
    EXPECT_EQ(DllGetClassInfo(allocator, &list), ErrOutOfMemory);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(host.LastAllocationSize(), 200u);
}

TEST_F(ModuleFrameTest, ClassFormsReportSizeAndFunctions) {
    std::int32_t size = 0;
    CreateInstanceFn create = nullptr;
    DestroyInstanceFn destroy = nullptr;
    ASSERT_EQ(DllGetClassForm(&kScriptingClassId, &size, &create, &destroy), kOk);
    EXPECT_EQ(size, static_cast<std::int32_t>(sizeof(PortInstance)));
    EXPECT_EQ(size, sizeof(void*) == 4 ? 48 : 80);
    EXPECT_NE(create, nullptr);
    EXPECT_NE(destroy, nullptr);

    // A null filter matches every class: the first, registration, answers.
    ASSERT_EQ(DllGetClassForm(nullptr, &size, &create, &destroy), kOk);
    EXPECT_EQ(size, sizeof(void*) == 4 ? 24 : 48);
}

TEST_F(ModuleFrameTest, UnknownClassLeavesClassFormOutputsUntouched) {
    const Guid unknown = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    std::int32_t size = -7;
    auto create = reinterpret_cast<CreateInstanceFn>(0x10);
    auto destroy = reinterpret_cast<DestroyInstanceFn>(0x20);
    EXPECT_EQ(DllGetClassForm(&unknown, &size, &create, &destroy), ErrNoClass);
    EXPECT_EQ(size, -7);
    EXPECT_EQ(create, reinterpret_cast<CreateInstanceFn>(0x10));
    EXPECT_EQ(destroy, reinterpret_cast<DestroyInstanceFn>(0x20));
}

TEST_F(ModuleFrameTest, GetInterfaceRefusesWrongClassOrInterfaceAndLeavesOutput) {
    void* instance = host.NewInstance(sizeof(InstanceHeader));
    void* out = reinterpret_cast<void*>(0x55);
    EXPECT_EQ(DllGetInterface(instance, &kRegistrationClassId, &kIidScripting, &out),
              ErrNoInterface);
    EXPECT_EQ(DllGetInterface(instance, &kScriptingClassId, &kIidValueService, &out),
              ErrNoInterface);
    EXPECT_EQ(out, reinterpret_cast<void*>(0x55));
    EXPECT_EQ(OwnerRefs(instance), 0);
    EXPECT_EQ(DllCanUnloadNow(), kOk);

    // With a null class ID both classes' interfaces are searched.
    ASSERT_EQ(DllGetInterface(instance, nullptr, &kIidScripting, &out), kOk);
    auto* scripting = static_cast<IScripting*>(out);
    scripting->ops->Release(scripting);
    host.DeleteInstance(instance);
}

TEST_F(ModuleFrameTest, ClassObjectRouteIsNotOffered) {
    void* out = nullptr;
    EXPECT_EQ(DllGetClassObject(&kScriptingClassId, &kIidClassFactory, &out), ErrNoClass);
    EXPECT_EQ(DllGetClassObject(nullptr, nullptr, nullptr), ErrNoClass);
}

TEST_F(ModuleFrameTest, InterfaceObjectHoldsCountPlusOneOwnerReferences) {
    void* instance = host.NewInstance(sizeof(InstanceHeader));
    void* out = nullptr;
    ASSERT_EQ(DllGetInterface(instance, &kRegistrationClassId, &kIidRegistration, &out), kOk);
    auto* reg = static_cast<IRegistration*>(out);
    EXPECT_EQ(OwnerRefs(instance), 2);
    EXPECT_EQ(DllCanUnloadNow(), ErrInUse);
    EXPECT_EQ(host.accounting().liveBlocks, 1);

    EXPECT_EQ(reg->ops->AddRef(reg), 2);
    EXPECT_EQ(OwnerRefs(instance), 3);
    EXPECT_EQ(reg->ops->Release(reg), 1);
    EXPECT_EQ(OwnerRefs(instance), 2);

    // The last release frees the object first, then returns both owner references.
    EXPECT_EQ(reg->ops->Release(reg), 0);
    EXPECT_EQ(OwnerRefs(instance), 0);
    EXPECT_EQ(host.accounting().liveBlocks, 0);
    EXPECT_EQ(DllCanUnloadNow(), kOk);
    host.DeleteInstance(instance);
}

TEST_F(ModuleFrameTest, LiveObjectsCountsEveryInterfaceObject) {
    void* instance = host.NewInstance(sizeof(PortInstance));
    void* a = nullptr;
    void* b = nullptr;
    ASSERT_EQ(DllGetInterface(instance, &kScriptingClassId, &kIidScripting, &a), kOk);
    ASSERT_EQ(DllGetInterface(instance, &kScriptingClassId, &kIidScripting, &b), kOk);
    EXPECT_NE(a, b);
    static_cast<IScripting*>(a)->ops->Release(static_cast<IScripting*>(a));
    EXPECT_EQ(DllCanUnloadNow(), ErrInUse);
    static_cast<IScripting*>(b)->ops->Release(static_cast<IScripting*>(b));
    EXPECT_EQ(DllCanUnloadNow(), kOk);
    host.DeleteInstance(instance);
}

TEST_F(ModuleFrameTest, QueryInterfaceAnswersWhatTheOwnerAnswers) {
    void* instance = host.NewInstance(sizeof(InstanceHeader));
    void* out = nullptr;
    ASSERT_EQ(DllGetInterface(instance, &kRegistrationClassId, &kIidRegistration, &out), kOk);
    auto* reg = static_cast<IRegistration*>(out);
    for (const Status owner : {ErrNoInterface, Status{0x1234}}) {
        host.faults().instanceQueryStatus = owner;
        void* asked = reinterpret_cast<void*>(0x99);
        EXPECT_EQ(reg->ops->QueryInterface(reg, &kIidRegistration, &asked), owner);
        EXPECT_EQ(asked, nullptr);  // as the owner left it
    }
    reg->ops->Release(reg);
    host.DeleteInstance(instance);
}

TEST_F(ModuleFrameTest, FailedInterfaceAllocationTakesNoReference) {
    void* instance = host.NewInstance(sizeof(InstanceHeader));
    host.faults().allocsBeforeFailure = 0;
    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(DllGetInterface(instance, &kRegistrationClassId, &kIidRegistration, &out),
              ErrOutOfMemory);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(OwnerRefs(instance), 0);
    EXPECT_EQ(DllCanUnloadNow(), kOk);
    host.DeleteInstance(instance);
}

}  // namespace
}  // namespace velmora::testing
