// Result codes, their texts and the code-to-exception rule.
#include "errors/Exceptions.h"
#include "base/BaseComponent.h"
#include "errors/ErrorTexts.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <typeinfo>

using namespace sio;

namespace {

// Runs fn, which must throw; returns the exception for inspection.
template <typename E>
E Caught(const std::function<void()>& fn)
{
    try {
        fn();
    } catch (const E& e) {
        return e;
    }
    ADD_FAILURE() << "expected " << typeid(E).name();
    throw std::logic_error("not thrown");
}

}  // namespace

TEST(ErrorMessage, TableTextsByAbsoluteValue)
{
    EXPECT_EQ(ErrorMessage(-3006), "Output buffer too small for block");
    EXPECT_EQ(ErrorMessage(3006), "Output buffer too small for block");
    EXPECT_EQ(ErrorMessage(0), "OK");
    EXPECT_EQ(ErrorMessage(-101), "Disk is full");
    EXPECT_EQ(ErrorMessage(-2001), "ie_BadId - Specified comport doesn't exist");
    EXPECT_EQ(ErrorMessage(-13868), "No memory");
    EXPECT_EQ(ErrorMessage(-5506), "Packet too long");
}

TEST(ErrorMessage, DispatchLogLabelsKeepTheirBlanks)
{
    EXPECT_EQ(ErrorMessage(15001), "No event");
    EXPECT_EQ(ErrorMessage(15003), "Trigger");
    EXPECT_EQ(ErrorMessage(15021), "Script");
    EXPECT_EQ(ErrorMessage(15115), "Status");
    EXPECT_EQ(ErrorMessage(15121), "Sent WON'T");
    EXPECT_EQ(ErrorMessage(15344), "StringPacket");
    EXPECT_EQ(ErrorMessage(15356), "CheckSInit");
    EXPECT_EQ(ErrorMessage(15501), "Time      Type      SubType       Data      OtherData");
    EXPECT_EQ(ErrorMessage(15502), "--------  --------  ------------  --------  ---------");
    EXPECT_EQ(ErrorMessage(15601), "DCTS ");
    EXPECT_EQ(ErrorMessage(15608), "DCD ");
    // Subtype 0 has no name, and the log must not pick up a system text for it.
    EXPECT_EQ(TableMessage(15100), "");
}

TEST(ErrorMessage, FallsBackToTheCleanedSystemText)
{
    // 87 is not in the table.
    EXPECT_EQ(TableMessage(-87), "");
    EXPECT_EQ(ErrorMessage(-87), CleanSystemMessage(std::strerror(87)));
    EXPECT_FALSE(ErrorMessage(-87).empty());
}

TEST(ErrorMessage, CleaningLeavesSingleBlanks)
{
    EXPECT_EQ(CleanSystemMessage("Access  is denied.\r\n"), "Access is denied. ");
    EXPECT_EQ(CleanSystemMessage("a\t\tb   c"), "a b c");
    EXPECT_EQ(CleanSystemMessage(""), "");
}

TEST(ErrorMessage, ExtremeCodesDoNotOverflow)
{
    // The absolute value is taken as a 16-bit quantity; INT32_MIN must not trap.
    EXPECT_NO_THROW(ErrorMessage(INT32_MIN));
    EXPECT_EQ(ErrorMessage(-3006 - 65536), "Output buffer too small for block");
}

TEST(IoErrorFromErrno, TranslatesFileErrors)
{
    EXPECT_EQ(IoErrorFromErrno(ENOENT), -2);
    EXPECT_EQ(IoErrorFromErrno(ENOENT, true), -3);
    EXPECT_EQ(IoErrorFromErrno(ENOTDIR), -3);
    EXPECT_EQ(IoErrorFromErrno(EACCES), -5);
    EXPECT_EQ(IoErrorFromErrno(EISDIR), -5);
    EXPECT_EQ(IoErrorFromErrno(ENOSPC), -101);
    EXPECT_EQ(IoErrorFromErrno(EMFILE), -4);
    EXPECT_EQ(IoErrorFromErrno(EROFS), -150);
}

TEST(Exceptions, ConstructionFromCodeAndText)
{
    const ESioException fromCode(-2001);
    EXPECT_EQ(fromCode.ErrorCode(), -2001);
    EXPECT_STREQ(fromCode.what(), "ie_BadId - Specified comport doesn't exist");
    const ESioException fromText(std::string("something broke"));
    EXPECT_EQ(fromText.ErrorCode(), 0);
    EXPECT_EQ(fromText.Message(), "something broke");
}

TEST(RaiseOnError, SuccessAndLoadingReturnTheCode)
{
    TSioBaseComponent component;
    EXPECT_EQ(RaiseOnError(&component, 5), 5);
    EXPECT_EQ(RaiseOnError(&component, 0), 0);
    EXPECT_EQ(RaiseOnError(nullptr, 7), 7);

    component.BeginLoading();
    EXPECT_EQ(RaiseOnError(&component, -2011), -2011);
    EXPECT_EQ(RaiseOnError(&component, -87), -87);
    component.EndLoading();
    EXPECT_THROW(RaiseOnError(&component, -2011), ENoPortSelected);
}

TEST(RaiseOnError, SelectsTheLeafClass)
{
    TSioBaseComponent component;
    const auto badId = Caught<EBadId>([&] { RaiseOnError(&component, -2001); });
    EXPECT_EQ(badId.ErrorCode(), -2001);
    EXPECT_STREQ(badId.what(), "ie_BadId - Specified comport doesn't exist");

    // Groups and leaves sit where the tree puts them.
    EXPECT_THROW(RaiseForCode(-1002), EBadArgument);
    EXPECT_THROW(RaiseForCode(-1002), EGeneral);
    EXPECT_THROW(RaiseForCode(-3006), EOutputBufferTooSmall);
    EXPECT_THROW(RaiseForCode(-3006), ESerialIO);
    EXPECT_THROW(RaiseForCode(-5003), EBadTriggerHandle);
    EXPECT_THROW(RaiseForCode(-5003), ETrigger);
    EXPECT_THROW(RaiseForCode(-2005), EHardware);
    EXPECT_THROW(RaiseForCode(-3001), ENullApi);
    EXPECT_THROW(RaiseForCode(-4001), EModemNotStarted);
    EXPECT_THROW(RaiseForCode(-4004), ENotDialing);
    EXPECT_THROW(RaiseForCode(-4008), EModemStatusMismatch);
    EXPECT_THROW(RaiseForCode(-7001), EKeyTooLong);
    EXPECT_THROW(RaiseForCode(-7014), EBadFieldForIndex);
    EXPECT_THROW(RaiseForCode(-8053), EInvalidPageNumber);
    EXPECT_THROW(RaiseForCode(-8070), EFaxPageError);
    EXPECT_THROW(RaiseForCode(-13980), ERasLoadFail);
    EXPECT_THROW(RaiseForCode(-13801), ETapiAllocated);
    EXPECT_THROW(RaiseForCode(-13868), ETapiNoMem);
    EXPECT_THROW(RaiseForCode(-13942), ETapiTranslateFail);
    EXPECT_THROW(RaiseForCode(-13942), ETapi);
}

TEST(RaiseOnError, CodesSharedByOneClass)
{
    for (int code : {-1006, -7003, -7006, -7012}) {
        const auto e = Caught<EInternal>([&] { RaiseForCode(code); });
        EXPECT_EQ(e.ErrorCode(), code);
    }
    for (int code : {-6006, -6008, -6009}) {
        const auto e = Caught<EProtocol>([&] { RaiseForCode(code); });
        EXPECT_EQ(e.ErrorCode(), code);
    }
}

TEST(RaiseOnError, FileFamilyRaisesToolkitErrors)
{
    const auto e87 = Caught<EInOutError>([] { RaiseForCode(-87); });
    EXPECT_EQ(e87.ErrorCode(), 87);
    EXPECT_EQ(e87.Message(), CleanSystemMessage(std::strerror(87)));
    EXPECT_EQ(e87.Message().find('\n'), std::string::npos);

    const auto e101 = Caught<EInOutError>([] { RaiseForCode(-101); });
    EXPECT_EQ(e101.ErrorCode(), 101);
    EXPECT_EQ(e101.Message(), "Disk is full");

    EXPECT_THROW(RaiseForCode(-2), EInOutError);
    EXPECT_THROW(RaiseForCode(-162), EInOutError);
    // -8 is the toolkit's out-of-memory error, not the table's text.
    const auto oom = Caught<EOutOfMemory>([] { RaiseForCode(-8); });
    EXPECT_STREQ(oom.what(), "Out of memory");
}

TEST(RaiseOnError, CodesWithoutAClassGiveTheFallback)
{
    // -1001 has a text but no class; the packet codes are raised by the collector itself.
    for (int code : {-1, -163, -1001, -3002, -4009, -5501, -5506, -6001, -999999}) {
        const auto e = Caught<ESioException>([&] { RaiseForCode(code); });
        EXPECT_EQ(e.ErrorCode(), 0) << code;
        EXPECT_STREQ(e.what(), "Sio exception") << code;
        EXPECT_EQ(typeid(e), typeid(ESioException)) << code;
    }
}

TEST(BaseComponent, VersionIsFixedAndLoadedRunsAtEndOfLoading)
{
    struct Probe : TSioBaseComponent {
        using TSioBaseComponent::TSioBaseComponent;
        int loadedCalls = 0;
        bool loadingSeenInLoaded = true;
        void Loaded() override
        {
            ++loadedCalls;
            loadingSeenInLoaded = IsLoading();
        }
    };
    TSioBaseComponent owner;
    Probe probe(&owner);
    EXPECT_EQ(probe.Owner(), &owner);
    EXPECT_EQ(probe.Version(), "v4.07");
    probe.SetVersion("v9.99");
    EXPECT_EQ(probe.Version(), "v4.07");
    probe.SetName("ComPort");
    probe.SetTag(42);
    EXPECT_EQ(probe.Name(), "ComPort");
    EXPECT_EQ(probe.Tag(), 42);

    EXPECT_FALSE(probe.IsLoading());
    probe.BeginLoading();
    EXPECT_TRUE(probe.IsLoading());
    probe.EndLoading();
    EXPECT_EQ(probe.loadedCalls, 1);
    EXPECT_FALSE(probe.loadingSeenInLoaded);
}
