// The INF reader against Wine's real SetupAPI, over small INF files written
// for each behaviour.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "driver/install/InfFile.h"
#include "frame/Exception.h"
#include "windows/support/InstallerFixture.h"

namespace {

using namespace setup::driver;
using Strings = std::vector<std::wstring>;

constexpr int32_t kFail = static_cast<int32_t>(0x80004005);
constexpr char kVersion[] = "[Version]\nSignature=\"$Windows NT$\"\n";

// {4d36e97d-e325-11ce-bfc1-08002be10318}, the system device class.
constexpr GUID kSystemClass = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

class InfFileTest : public ::testing::Test {
protected:
    // Writes the text as an INF of its own and returns its path.
    std::wstring Write(const std::string& text) {
        const std::wstring path = dir_ / (L"t" + std::to_wstring(count_++) + L".inf");
        ddtest::WriteTextFile(path, text);
        return path;
    }
    InfHandle Open(const std::string& text) { return OpenInfFile(Write(text)); }

    ddtest::TempDir dir_;
    int count_ = 0;
};

// Runs f and returns the setup::Exception it throws; fails the test if none.
setup::Exception Thrown(const std::function<void()>& f) {
    try {
        f();
    } catch (const setup::Exception& e) {
        return e;
    }
    ADD_FAILURE() << "no setup::Exception was thrown";
    return setup::Exception(0, L"", L"");
}

TEST_F(InfFileTest, MissingInfFailsToOpenWithTheLastError) {
    const std::wstring path = dir_ / L"missing.inf";
    for (const auto& open : std::vector<std::function<void()>>{[&] { OpenInfFile(path); },
                                                               [&] { IsNetworkClassInf(path); }}) {
        const setup::Exception e = Thrown(open);
        EXPECT_EQ(L"Failed to open inf file: " + path, e.Message());
        EXPECT_EQ(static_cast<int32_t>(0x80070002), e.Code());
        EXPECT_EQ(path, e.Details());
    }
}

TEST_F(InfFileTest, CopiesShareOneOpenFile) {
    InfHandle copy;
    {
        const InfHandle first = Open(std::string(kVersion) + "[A]\nk=v\n");
        copy = first;
    }
    // The first owner is gone; the copy still reads the open file.
    EXPECT_EQ(L"v", GetLineText(copy, L"A", L"k"));
}

TEST_F(InfFileTest, ReadsKeysFieldsAndLineText) {
    const InfHandle inf = Open(std::string(kVersion) +
                               "[SourceDisksFiles]\n"
                               "acme.sys=1,,\n"
                               "%Other%=1\n"
                               "[Lines]\n"
                               "first=a,%Other%,\"c, quoted\"\n"
                               "second=d\n"
                               ",emptyfirst\n"
                               "third=e,f\n"
                               "[Strings]\n"
                               "Other=\"other.sys\"\n");

    EXPECT_EQ((Strings{L"acme.sys", L"other.sys"}), GetSectionKeys(inf, L"SourceDisksFiles"));
    EXPECT_EQ(L"acme.sys", GetFirstSectionKey(inf, L"SourceDisksFiles"));
    EXPECT_EQ(Strings{}, GetSectionKeys(inf, L"NoSuchSection"));
    EXPECT_EQ(L"", GetFirstSectionKey(inf, L"NoSuchSection"));

    EXPECT_EQ((Strings{L"a", L"other.sys", L"c, quoted"}), GetFirstLineFields(inf, L"Lines", L""));
    EXPECT_EQ((Strings{L"d"}), GetFirstLineFields(inf, L"Lines", L"second"));
    EXPECT_EQ(Strings{}, GetFirstLineFields(inf, L"Lines", L"nosuchkey"));
    EXPECT_EQ(Strings{}, GetFirstLineFields(inf, L"NoSuchSection", L""));

    EXPECT_EQ(L"a", GetFirstLineField(inf, 0, L"Lines"));
    EXPECT_EQ(L"c, quoted", GetFirstLineField(inf, 2, L"Lines"));
    EXPECT_EQ(L"", GetFirstLineField(inf, 3, L"Lines"));
    EXPECT_EQ(L"", GetFirstLineField(inf, 0, L"NoSuchSection"));

    // From the line with the key on, every line counts whatever its key.
    EXPECT_EQ((Strings{L"d", L"", L"e"}), GetFirstFieldOfLines(inf, L"Lines", L"second"));
    EXPECT_EQ((Strings{L"a", L"d", L"", L"e"}), GetFirstFieldOfLines(inf, L"Lines", L""));
    EXPECT_EQ(Strings{}, GetFirstFieldOfLines(inf, L"Lines", L"nosuchkey"));

    // The text joins the values with their quotes taken off.
    EXPECT_EQ(L"a,other.sys,c, quoted", GetLineText(inf, L"Lines", L"first"));
    EXPECT_EQ(L"d", GetLineText(inf, L"Lines", L"second"));
    EXPECT_EQ(L"", GetLineText(inf, L"Lines", L"nosuchkey"));
    EXPECT_EQ(L"", GetLineText(inf, L"NoSuchSection", L"first"));
}

TEST_F(InfFileTest, ModelsInstallSectionAndHardwareId) {
    const InfHandle inf = Open(std::string(kVersion) +
                               "[Manufacturer]\n"
                               "%Mfg%=Models,NTamd64.99.0,NTx86,ntAMD64.6.0,NTamd64\n"
                               "[Models.ntAMD64.6.0]\n"
                               "%Dev%=Drv_Install,ROOT\\AcmeDrv,*PNP0001\n"
                               "%Dev%=Other_Install,ROOT\\Other\n"
                               "[Drv_Install]\n"
                               "[Drv_Install.NTamd64]\n"
                               "[DefaultUninstall]\n"
                               "[DefaultUninstall.NTamd64]\n"
                               "[Strings]\n"
                               "Mfg=\"Acme\"\n"
                               "Dev=\"Acme device\"\n");
    EXPECT_EQ(L"Models.ntAMD64.6.0", GetModelsSection(inf));
    EXPECT_EQ(L"ROOT\\AcmeDrv", GetModelHardwareId(inf));
    EXPECT_EQ(L"Drv_Install.NTamd64", GetInstallSection(inf));
    EXPECT_EQ(L"DefaultUninstall.NTamd64", GetUninstallSection(inf));
    EXPECT_EQ(L"Drv_Install.NTamd64", GetActualSectionToInstall(inf, L"Drv_Install"));
    // A section without a decorated form keeps its name.
    EXPECT_EQ(L"Other_Install", GetActualSectionToInstall(inf, L"Other_Install"));
}

// The test prefix is Windows 10 on an x64 machine with the workstation
// product type; Wine's ntdll confirms builds 16299 and 17763 and denies
// build 99999 (measured).
TEST_F(InfFileTest, DecorationsAgainstTheRunningSystem) {
    struct Case {
        const char* decorations;
        const wchar_t* models;
    };
    const Case cases[] = {
        {"NTamd64.10.0,NTamd64", L"Models.NTamd64.10.0"},
        {"NTamd64,NTamd64.10.0...16299", L"Models.NTamd64.10.0...16299"},
        {"NTamd64.10.0...16299,NTamd64.10.0...17763,NTamd64.6.3", L"Models.NTamd64.10.0...17763"},
        {"NTamd64.10.0...99999,NTamd64.6.2", L"Models.NTamd64.6.2"},
        {"NTamd64.11.0,NTAMD64", L"Models.NTAMD64"},
        {"NTamd64.6.2,NTamd64.6.3", L"Models.NTamd64.6.3"},
        // The platform refuses a version test with an empty type mask.
        {"ntamd64.0,NTamd64", L"Models.NTamd64"},
        {"NTamd64.6.0.0x3,NTamd64.6.0.1", L"Models.NTamd64.6.0.1"},
        {"NTamd64.6.0.1.0x4000,NTamd64", L"Models.NTamd64"},
        {"NTx86,NT,NTia64,NTarm64", L"Models"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.decorations);
        const InfHandle inf = Open(std::string(kVersion) + "[Manufacturer]\nAcme=Models," + c.decorations + "\n");
        EXPECT_EQ(c.models, GetModelsSection(inf));
    }
}

// This test program declares no Windows 10 support in a manifest, so the
// host's own version check denies 10.0 here, as it does inside a custom
// action host that declares less than the system is. The INF's section is
// chosen for the system all the same, as SetupAPI chooses it.
TEST_F(InfFileTest, VersionTestDoesNotFollowTheHostsDeclaredVersion) {
    OSVERSIONINFOEXW ten = {};
    ten.dwOSVersionInfoSize = sizeof(ten);
    ten.dwMajorVersion = 10;
    ASSERT_FALSE(VerifyVersionInfoW(&ten, VER_MAJORVERSION, VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL)))
        << "this host declares Windows 10 support: the test shows nothing here";
    const InfHandle inf = Open(std::string(kVersion) + "[Manufacturer]\nAcme=Models,NTamd64.10.0...16299\n");
    EXPECT_EQ(L"Models.NTamd64.10.0...16299", GetModelsSection(inf));
}

// A line per platform, as real INFs often have it: the x64 one is read.
TEST_F(InfFileTest, ModelsFromTheManufacturerLineOfThisPlatform) {
    const InfHandle inf = Open(std::string(kVersion) +
                               "[Manufacturer]\n"
                               "%Mfg%=Standard,NTx86.10.0...16299\n"
                               "%Mfg%=Standard,NTamd64.10.0...16299\n"
                               "[Standard.NTx86.10.0...16299]\n"
                               "%Dev%=X86_Install,ACPI\\X86DEV\n"
                               "[Standard.NTamd64.10.0...16299]\n"
                               "%Dev%=Amd64_Install,ACPI\\MSNS0042\n"
                               "[Strings]\nMfg=\"Acme\"\nDev=\"Acme device\"\n");
    EXPECT_EQ(L"Standard.NTamd64.10.0...16299", GetModelsSection(inf));
    EXPECT_EQ(L"ACPI\\MSNS0042", GetModelHardwareId(inf));
}

TEST_F(InfFileTest, WithoutManufacturerInstallsFromDecoratedDefaultInstall) {
    const char* manufacturers[] = {"", "[Manufacturer]\n"};
    for (const char* manufacturer : manufacturers) {
        SCOPED_TRACE(manufacturer);
        const InfHandle inf =
            Open(std::string(kVersion) + manufacturer + "[DefaultInstall]\n[DefaultInstall.NTamd64]\n");
        EXPECT_EQ(L"DefaultInstall.NTamd64", GetInstallSection(inf));
        for (const auto& models : std::vector<std::function<void()>>{[&] { GetModelsSection(inf); },
                                                                     [&] { GetModelHardwareId(inf); }}) {
            const setup::Exception e = Thrown(models);
            EXPECT_EQ(L"The Manufacturer section is empty.", e.Message());
            EXPECT_EQ(kFail, e.Code());
        }
    }
}

TEST_F(InfFileTest, EmptyModelsSectionGivesAnEmptyInstallSection) {
    const InfHandle inf = Open(std::string(kVersion) +
                               "[Manufacturer]\nAcme=Models\n[Models]\n"
                               "[DefaultInstall]\n[DefaultInstall.NTamd64]\n");
    EXPECT_EQ(L"Models", GetModelsSection(inf));
    EXPECT_EQ(L"", GetInstallSection(inf));
    EXPECT_EQ(L"", GetModelHardwareId(inf));
}

TEST_F(InfFileTest, ServicesToAddAndToDelete) {
    const InfHandle inf = Open(std::string(kVersion) +
                               "[Manufacturer]\nAcme=Models,NTamd64\n"
                               "[Models.NTamd64]\nDevice=Inst,ROOT\\Acme\n"
                               "[Inst.NTamd64]\n"
                               "[Inst.NTamd64.Services]\n"
                               "DelService=before\n"
                               "AddService=svcA,0x00000002,svcA_Inst\n"
                               "AddService=svcB,,svcB_Inst\n"
                               "[DefaultUninstall.NTamd64]\n"
                               "[DefaultUninstall.NTamd64.Services]\n"
                               "DelService=oldA\n"
                               "AddService=svcC,0x2,svcC_Inst\n"
                               "DelService=oldB,0x200\n");
    // Collecting starts at the first line with the key and takes every line after it.
    EXPECT_EQ((Strings{L"svcA", L"svcB"}), GetServicesToAdd(inf));
    EXPECT_EQ(L"svcA", GetFirstServiceToAdd(inf));
    EXPECT_EQ((Strings{L"oldA", L"svcC", L"oldB"}), GetServicesToDelete(inf));
    EXPECT_EQ(L"oldA", GetFirstServiceToDelete(inf));
}

TEST_F(InfFileTest, ServiceWithEmptyNameAndMissingServicesSections) {
    const InfHandle withEmpty = Open(std::string(kVersion) +
                                     "[DefaultInstall.NTamd64]\n"
                                     "[DefaultInstall.NTamd64.Services]\n"
                                     "AddService=,0x2,inst\n"
                                     "AddService=svc2,0x2,inst\n");
    EXPECT_EQ((Strings{L"", L"svc2"}), GetServicesToAdd(withEmpty));
    EXPECT_EQ(L"", GetFirstServiceToAdd(withEmpty));

    const InfHandle without = Open(std::string(kVersion) + "[DefaultInstall.NTamd64]\n[DefaultUninstall]\n");
    EXPECT_EQ(Strings{}, GetServicesToAdd(without));
    EXPECT_EQ(L"", GetFirstServiceToAdd(without));
    EXPECT_EQ(Strings{}, GetServicesToDelete(without));
    EXPECT_EQ(L"", GetFirstServiceToDelete(without));
}

TEST_F(InfFileTest, ClassGuidWithAndWithoutBraces) {
    const char* written[] = {
        "4d36e97d-e325-11ce-bfc1-08002be10318",
        "{4d36e97d-e325-11ce-bfc1-08002be10318}",
        "{{4d36e97d-e325-11ce-bfc1-08002be10318}}",
        "}4d36e97d-{e325}-11ce-bfc1-08002be10318{",
        "\"{4D36E97D-E325-11CE-BFC1-08002BE10318}\"",
    };
    for (const char* text : written) {
        SCOPED_TRACE(text);
        const InfHandle inf = Open(std::string(kVersion) + "ClassGUID=" + text + "\n");
        EXPECT_TRUE(IsEqualGUID(kSystemClass, GetClassGuid(inf)));
    }

    const InfHandle none = Open(kVersion);
    EXPECT_TRUE(IsEqualGUID(GUID_NULL, GetClassGuid(none)));

    const char* unparsable[] = {"{not-a-guid}", "{}", "4d36e97d-e325-11ce-bfc1-08002be1031",
                                "4d36e97d-e325-11ce-bfc1-08002be10318x", "4d36e97d e325 11ce bfc1 08002be10318"};
    for (const char* text : unparsable) {
        SCOPED_TRACE(text);
        const InfHandle inf = Open(std::string(kVersion) + "ClassGUID=" + text + "\n");
        const setup::Exception e = Thrown([&] { GetClassGuid(inf); });
        EXPECT_EQ(L"The ClassGUID is incorrect.", e.Message());
        EXPECT_EQ(kFail, e.Code());
    }
}

TEST_F(InfFileTest, NetworkClasses) {
    struct Case {
        const char* classGuid;
        bool network;
    };
    const Case cases[] = {
        {"{4d36e972-e325-11ce-bfc1-08002be10318}", true},
        {"{4D36E973-E325-11CE-BFC1-08002BE10318}", true},
        {"4d36e974-e325-11ce-bfc1-08002be10318", true},
        {"{4d36e975-e325-11ce-bfc1-08002be10318}", true},
        {"{4d36e97d-e325-11ce-bfc1-08002be10318}", false},
        {"{4d36e976-e325-11ce-bfc1-08002be10318}", false},
        {"{4d36e972-e325-11ce-bfc1-08002be10319}", false},
        {nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.classGuid != nullptr ? c.classGuid : "no ClassGUID");
        std::string text = kVersion;
        if (c.classGuid != nullptr) {
            text += std::string("ClassGUID=") + c.classGuid + "\n";
        }
        EXPECT_EQ(c.network, IsNetworkClassInf(Write(text)));
    }
    const setup::Exception e =
        Thrown([&] { IsNetworkClassInf(Write(std::string(kVersion) + "ClassGUID={4d36e972}\n")); });
    EXPECT_EQ(L"The ClassGUID is incorrect.", e.Message());
}

// Every operation over an INF that opened, with the messages each one may
// throw; anything else (another message, another exception, a crash) fails.
void ExerciseEveryOperation(const InfHandle& inf) {
    const std::wstring read = L"Failed to read from inf file.";
    const std::wstring actual = L"Failed to get actual section to install.";
    const std::wstring noManufacturer = L"The Manufacturer section is empty.";
    const std::wstring badGuid = L"The ClassGUID is incorrect.";
    struct Operation {
        const char* name;
        std::function<void()> run;
        std::vector<std::wstring> mayThrow;
    };
    const Operation operations[] = {
        {"GetFirstLineFields", [&] { GetFirstLineFields(inf, L"A", L""); }, {read}},
        {"GetFirstLineField", [&] { GetFirstLineField(inf, 1, L"A"); }, {read}},
        {"GetFirstFieldOfLines", [&] { GetFirstFieldOfLines(inf, L"A", L"k"); }, {read}},
        {"GetSectionKeys", [&] { GetSectionKeys(inf, L"A"); }, {read}},
        {"GetFirstSectionKey", [&] { GetFirstSectionKey(inf, L"A"); }, {read}},
        {"GetLineText", [&] { GetLineText(inf, L"A", L"k"); }, {read}},
        {"GetModelsSection", [&] { GetModelsSection(inf); }, {read, noManufacturer}},
        {"GetActualSectionToInstall", [&] { GetActualSectionToInstall(inf, L"A"); }, {actual}},
        {"GetInstallSection", [&] { GetInstallSection(inf); }, {actual}},
        {"GetUninstallSection", [&] { GetUninstallSection(inf); }, {actual}},
        {"GetServicesToAdd", [&] { GetServicesToAdd(inf); }, {}},
        {"GetFirstServiceToAdd", [&] { GetFirstServiceToAdd(inf); }, {}},
        {"GetServicesToDelete", [&] { GetServicesToDelete(inf); }, {}},
        {"GetFirstServiceToDelete", [&] { GetFirstServiceToDelete(inf); }, {}},
        {"GetClassGuid", [&] { GetClassGuid(inf); }, {read, badGuid}},
        {"GetModelHardwareId", [&] { GetModelHardwareId(inf); }, {read, noManufacturer}},
    };
    for (const Operation& op : operations) {
        SCOPED_TRACE(op.name);
        try {
            op.run();
        } catch (const setup::Exception& e) {
            EXPECT_NE(op.mayThrow.end(), std::find(op.mayThrow.begin(), op.mayThrow.end(), e.Message()))
                << "unexpected message: " << ddtest::Narrow(e.Message());
        } catch (const std::exception& e) {
            ADD_FAILURE() << "unexpected exception: " << e.what();
        }
    }
}

TEST_F(InfFileTest, BadInputNeverBreaksTheReader) {
    const std::string longValue(4000, 'x');
    struct Case {
        const char* name;
        std::string text;
        int32_t openFailure;  // 0 when the file opens
        std::function<void(const InfHandle&)> check;
    };
    const Case cases[] = {
        {"empty file", "", static_cast<int32_t>(0x800703EE), nullptr},
        // A SetupAPI error code keeps its own facility.
        {"section header without closing bracket", std::string(kVersion) + "[A\nk=v\n[B]\nx=y\n",
         static_cast<int32_t>(0x800F0001), nullptr},
        {"truncated mid-line", std::string(kVersion) + "[A]\nk=\"abc,d", 0,
         [](const InfHandle& inf) {
             EXPECT_EQ((Strings{L"abc,d"}), GetFirstLineFields(inf, L"A", L""));
             EXPECT_EQ((Strings{L"k"}), GetSectionKeys(inf, L"A"));
         }},
        {"4,000-character line", std::string(kVersion) + "[A]\nk=" + longValue + ",y\nnext=z\n", 0,
         [&](const InfHandle& inf) {
             const Strings fields = GetFirstLineFields(inf, L"A", L"k");
             ASSERT_EQ(2u, fields.size());
             EXPECT_FALSE(fields[0].empty());
             EXPECT_EQ(std::wstring::npos, fields[0].find_first_not_of(L'x'));
             EXPECT_EQ(L"y", fields[1]);
             const std::wstring text = GetLineText(inf, L"A", L"k");
             EXPECT_EQ(0u, text.find(L"xxxx"));
             EXPECT_EQ(text.size() - 2, text.rfind(L",y"));
             EXPECT_EQ((Strings{L"k", L"next"}), GetSectionKeys(inf, L"A"));
         }},
        {"4,000-character key", std::string(kVersion) + "[A]\n" + longValue + "=v\n", 0,
         [](const InfHandle& inf) {
             const Strings keys = GetSectionKeys(inf, L"A");
             ASSERT_EQ(1u, keys.size());
             EXPECT_EQ(std::wstring::npos, keys[0].find_first_not_of(L'x'));
             EXPECT_EQ((Strings{L"v"}), GetFirstLineFields(inf, L"A", L""));
         }},
        {"unbalanced quotes",
         std::string(kVersion) + "ClassGUID=\"{4d36e972-e325-11ce-bfc1-08002be10318}\n"
                                 "[A]\nk=\"a,b\",\"c\nx=y\n[Manufacturer]\n\"Acme=Models\n",
         0,
         [](const InfHandle& inf) {
             EXPECT_EQ((Strings{L"a,b", L"c"}), GetFirstLineFields(inf, L"A", L"k"));
             EXPECT_EQ((Strings{L"a,b", L"y"}), GetFirstFieldOfLines(inf, L"A", L"k"));
             // The open quote takes the whole line as one keyless value.
             EXPECT_EQ(L"Acme=Models", GetModelsSection(inf));
             EXPECT_EQ(L"", GetInstallSection(inf));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring path = Write(c.text);
        if (c.openFailure != 0) {
            const setup::Exception e = Thrown([&] { OpenInfFile(path); });
            EXPECT_EQ(L"Failed to open inf file: " + path, e.Message());
            EXPECT_EQ(c.openFailure, e.Code());
            continue;
        }
        const InfHandle inf = OpenInfFile(path);
        ExerciseEveryOperation(inf);
        c.check(inf);
    }
}

}  // namespace
