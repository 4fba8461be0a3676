// The open security descriptor on real objects: what the system stores for an
// event and a file created with it.
#include "agent/service/open_security_descriptor.h"

#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>

#include <string>

#include "tests/support/win/service_manager.h"

namespace {

// The object's DACL presence and its mandatory label, as the system reports them.
struct ObjectSecurity {
    bool read = false;
    bool nullDacl = false;
    int labelAces = 0;
    std::wstring labelSid;
    DWORD labelMask = 0;
};

ObjectSecurity ReadSecurity(HANDLE object, SE_OBJECT_TYPE type) {
    ObjectSecurity result;
    PACL dacl = nullptr, sacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD rc = GetSecurityInfo(object, type, DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION, nullptr, nullptr,
                               &dacl, &sacl, &sd);
    if (rc != ERROR_SUCCESS) return result;
    result.read = true;
    BOOL present = FALSE, defaulted = FALSE;
    PACL d = nullptr;
    GetSecurityDescriptorDacl(sd, &present, &d, &defaulted);
    result.nullDacl = present && d == nullptr;
    if (sacl) {
        for (WORD i = 0; i < sacl->AceCount; ++i) {
            ACE_HEADER* ace = nullptr;
            if (!GetAce(sacl, i, reinterpret_cast<void**>(&ace))) continue;
            if (ace->AceType != SYSTEM_MANDATORY_LABEL_ACE_TYPE) continue;
            auto* label = reinterpret_cast<SYSTEM_MANDATORY_LABEL_ACE*>(ace);
            ++result.labelAces;
            result.labelMask = label->Mask;
            wchar_t* text = nullptr;
            if (ConvertSidToStringSidW(reinterpret_cast<PSID>(&label->SidStart), &text)) {
                result.labelSid = text;
                LocalFree(text);
            }
        }
    }
    LocalFree(sd);
    return result;
}

TEST(HostOpenSecurityDescriptor, CarriesNullDaclAndLowLabelFromVistaOn) {
    COpenSecurityDescriptor descriptor;
    ASSERT_EQ(0u, descriptor.Error());
    ASSERT_NE(nullptr, descriptor.Attributes());
    EXPECT_EQ(sizeof(SECURITY_ATTRIBUTES), descriptor.Attributes()->nLength);
    EXPECT_FALSE(descriptor.Attributes()->bInheritHandle);
    EXPECT_TRUE(IsValidSecurityDescriptor(descriptor.Descriptor()));

    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = reinterpret_cast<PACL>(1);
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor.Descriptor(), &present, &dacl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_EQ(nullptr, dacl);

    // Wine reports a Windows 10 system, so the label is there.
    ASSERT_TRUE(COpenSecurityDescriptor::IsVistaOrLater());
    EXPECT_TRUE(descriptor.HasLowIntegrityLabel());
    EXPECT_EQ(0u, descriptor.LabelError());
    PACL sacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorSacl(descriptor.Descriptor(), &present, &sacl, &defaulted));
    ASSERT_TRUE(present);
    ASSERT_NE(nullptr, sacl);
    ASSERT_EQ(1, sacl->AceCount);
    ACE_HEADER* ace = nullptr;
    ASSERT_TRUE(GetAce(sacl, 0, reinterpret_cast<void**>(&ace)));
    EXPECT_EQ(SYSTEM_MANDATORY_LABEL_ACE_TYPE, ace->AceType);
    auto* label = reinterpret_cast<SYSTEM_MANDATORY_LABEL_ACE*>(ace);
    EXPECT_EQ(static_cast<DWORD>(SYSTEM_MANDATORY_LABEL_NO_WRITE_UP), label->Mask);
    wchar_t* sid = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidW(reinterpret_cast<PSID>(&label->SidStart), &sid));
    EXPECT_STREQ(L"S-1-16-4096", sid);  // low mandatory level
    LocalFree(sid);
}

TEST(HostOpenSecurityDescriptor, NamedEventCreatedWithItIsOpenToEveryone) {
    COpenSecurityDescriptor descriptor;
    std::wstring name = L"Global\\BXHostTestOpenSd" + std::to_wstring(GetCurrentProcessId());
    bx::win::UniqueHandle event(CreateEventW(descriptor.Attributes(), FALSE, FALSE, name.c_str()));
    ASSERT_TRUE(event) << GetLastError();
    ObjectSecurity security = ReadSecurity(event.get(), SE_KERNEL_OBJECT);
    ASSERT_TRUE(security.read);
    EXPECT_TRUE(security.nullDacl);
    EXPECT_EQ(1, security.labelAces);
    EXPECT_EQ(L"S-1-16-4096", security.labelSid);
    EXPECT_EQ(static_cast<DWORD>(SYSTEM_MANDATORY_LABEL_NO_WRITE_UP), security.labelMask);
    // Another open by name reaches the same object.
    bx::win::UniqueHandle opened(OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name.c_str()));
    ASSERT_TRUE(opened);
    ASSERT_TRUE(SetEvent(opened.get()));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.get(), 0));
}

TEST(HostOpenSecurityDescriptor, FileCanBeCreatedWithIt) {
    // The crash dump is created with the descriptor: the system must accept
    // its label for a file. (Wine keeps no DACL or label on files, so what is
    // stored is proven on the event above, not here.)
    COpenSecurityDescriptor descriptor;
    std::wstring dir = bx::test::MakeFreshDirectory(bx::test::ExeDirectory(), L"host_sd_test");
    std::wstring path = dir + L"open.bin";
    bx::win::UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, descriptor.Attributes(), CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD error = file ? 0 : GetLastError();
    file.reset();
    bool exists = bx::test::FileExists(path);
    bx::test::RemoveDirectoryTree(dir);
    EXPECT_EQ(0u, error);
    EXPECT_TRUE(exists);
}

}  // namespace
