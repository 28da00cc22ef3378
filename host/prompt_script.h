// The commands the demo-prompt tests type, and what each must print. Shared
// by the pseudo-terminal test (POSIX) and the pipe test (Windows), whose
// sessions both offer Expect(text), Type(line) and ExitCode().
#ifndef MSGLOGIC_HOST_PROMPT_SCRIPT_H_
#define MSGLOGIC_HOST_PROMPT_SCRIPT_H_

#include "gtest/gtest.h"

namespace msglogic_demo_test {

template <class Session>
void TypeAtThePrompt(Session& demo) {
  ASSERT_TRUE(demo.Expect("type \"help\""));
  demo.Type("help");
  EXPECT_TRUE(demo.Expect("commands:"));
  demo.Type("friends");
  EXPECT_TRUE(demo.Expect("no agent yet: connect first"));
  demo.Type("connect");
  EXPECT_TRUE(demo.Expect("> Connect(10001, 0) = 0 (logged in)"));
  demo.Type("friends");
  EXPECT_TRUE(demo.Expect("< OnFriendList(1): "));
  EXPECT_TRUE(demo.Expect("张伟"));
  demo.Type("send 10008 你好 世界");
  EXPECT_TRUE(demo.Expect("< OnUserData(10008, text): \"echo: 你好 世界\""));
  demo.Type("rooms 大厅 会议室");
  EXPECT_TRUE(demo.Expect("大厅, 会议室"));
  demo.Type("request a 1");
  EXPECT_TRUE(demo.Expect("< OnUserList("));
  demo.Type("bogus");
  EXPECT_TRUE(demo.Expect("unknown or incomplete command \"bogus\""));
  // A released agent is replaced by the next connect.
  demo.Type("release");
  EXPECT_TRUE(demo.Expect("> Release() = "));
  demo.Type("connect 10010");
  EXPECT_TRUE(demo.Expect("> Connect(10010, 0) = 2 (id login refused)"));
  demo.Type("quit");
  EXPECT_EQ(demo.ExitCode(), 0);
}

}  // namespace msglogic_demo_test

#endif  // MSGLOGIC_HOST_PROMPT_SCRIPT_H_
