#include <gtest/gtest.h>

#include "CommandLine.h"

using service::Command;
using service::ParseCommand;

TEST(CommandLine, EachSwitchWithEitherSignInAnyCase) {
    EXPECT_EQ(Command::RegServer, ParseCommand(L"/RegServer"));
    EXPECT_EQ(Command::RegServer, ParseCommand(L"-regserver"));
    EXPECT_EQ(Command::UnregServer, ParseCommand(L"/UNREGSERVER"));
    EXPECT_EQ(Command::RegServerPerUser, ParseCommand(L"/RegServerPerUser"));
    EXPECT_EQ(Command::UnregServerPerUser, ParseCommand(L"-unregserverperuser"));
    EXPECT_EQ(Command::Service, ParseCommand(L"-sErViCe"));
    EXPECT_EQ(Command::Service, ParseCommand(L"/Service"));
}

TEST(CommandLine, AWordEndsOnlyAtABlankATabOrTheEnd) {
    // "RegServer" is a prefix of the per-user switch and of other words; none of them is it.
    EXPECT_EQ(Command::RegServerPerUser, ParseCommand(L"/RegServerPerUser"));
    EXPECT_EQ(Command::Run, ParseCommand(L"/RegServerX"));
    EXPECT_EQ(Command::Run, ParseCommand(L"/Reg"));
    EXPECT_EQ(Command::RegServer, ParseCommand(L"x\t/RegServer\t"));
    EXPECT_EQ(Command::RegServer, ParseCommand(L"-Embedding /RegServer"));
}

TEST(CommandLine, ASwitchBeginsOnlyAtTheStartOfAToken) {
    EXPECT_EQ(Command::Run, ParseCommand(L"x/RegServer"));
    EXPECT_EQ(Command::Run, ParseCommand(L"C:\\Program/Service"));
    EXPECT_EQ(Command::Run, ParseCommand(L"--RegServer"));
    EXPECT_EQ(Command::Run, ParseCommand(L"/x/UnregServer -y-Service"));
    EXPECT_EQ(Command::Service, ParseCommand(L"a-RegServer \t /Service"));
}

TEST(CommandLine, NoSwitchRunsTheServer) {
    EXPECT_EQ(Command::Run, ParseCommand(L""));
    EXPECT_EQ(Command::Run, ParseCommand(nullptr));
    EXPECT_EQ(Command::Run, ParseCommand(L"-Embedding"));
    EXPECT_EQ(Command::Run, ParseCommand(L"RegServer Service"));
    EXPECT_EQ(Command::Run, ParseCommand(L"/ -"));
}

TEST(CommandLine, RegistrationSwitchesComeFirstInTheirOrderThenService) {
    EXPECT_EQ(Command::UnregServer, ParseCommand(L"/RegServer /UnregServer"));
    EXPECT_EQ(Command::RegServer, ParseCommand(L"/Service /RegServer"));
    EXPECT_EQ(Command::UnregServerPerUser, ParseCommand(L"/Service /RegServerPerUser /UnregServerPerUser"));
    EXPECT_EQ(Command::RegServer, ParseCommand(L"/RegServerPerUser /RegServer"));
}
