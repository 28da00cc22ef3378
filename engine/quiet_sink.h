// A base for test sinks: every event the tests do not look at is ignored.
#ifndef MSGLOGIC_ENGINE_QUIET_SINK_H_
#define MSGLOGIC_ENGINE_QUIET_SINK_H_

#include "MsgLogic.h"

namespace stand_in {
namespace testing {

class QuietSink : public IMsgLogicSink {
 public:
  int32_t OnUserText(int32_t, const void*) override { return 0; }
  int32_t OnUserInfo(const void*) override { return 1; }
  int32_t OnEventA(const void*) override { return 0; }
  int32_t OnFriendList(const void*) override { return 0; }
  int32_t OnFriendInfo(const void*) override { return 0; }
  int32_t OnSelfId(const int32_t*) override { return 0; }
  int32_t OnEventB(int32_t) override { return 0; }
  int32_t OnUserList(const void*) override { return 0; }
  int32_t OnFriendUpdate(const void*) override { return 0; }
  int32_t OnActivity() override { return 0; }
  int32_t OnEventC() override { return 0; }
  int32_t OnEventD(const void*) override { return 0; }
  void OnDisconnect() override {}
  int32_t OnFriendValues(const void*) override { return 0; }

  int32_t Reserved000(MsgWord, MsgWord) override { return 0; }
  int32_t Reserved001(MsgWord, MsgWord, MsgWord) override { return 0; }
  int32_t Reserved002(MsgWord) override { return 0; }
  int32_t Reserved003(MsgWord) override { return 0; }
  int32_t Reserved004(MsgWord) override { return 0; }
  int32_t Reserved005(MsgWord) override { return 0; }
  int32_t Reserved007(MsgWord) override { return 0; }
  int32_t Reserved008(MsgWord) override { return 0; }
  int32_t Reserved010(MsgWord) override { return 0; }
  int32_t Reserved011(MsgWord) override { return 0; }
  int32_t Reserved012(MsgWord) override { return 0; }
  int32_t Reserved013(MsgWord) override { return 0; }
  int32_t Reserved014(MsgWord) override { return 0; }
  int32_t Reserved015(MsgWord) override { return 0; }
  int32_t Reserved016(MsgWord) override { return 0; }
  int32_t Reserved017(MsgWord) override { return 0; }
  int32_t Reserved018(MsgWord) override { return 0; }
  int32_t Reserved019(MsgWord) override { return 0; }
  int32_t Reserved020(MsgWord) override { return 0; }
  int32_t Reserved021(MsgWord, MsgWord) override { return 0; }
  int32_t Reserved022(MsgWord) override { return 0; }
  int32_t Reserved023(MsgWord) override { return 0; }
  int32_t Reserved024(MsgWord) override { return 0; }
  int32_t Reserved025(MsgWord) override { return 0; }
  int32_t Reserved026(MsgWord, MsgWord) override { return 0; }
  int32_t Reserved027(MsgWord) override { return 0; }
  int32_t Reserved028(MsgWord) override { return 0; }
  int32_t Reserved029(MsgWord) override { return 0; }
  int32_t Reserved030(MsgWord) override { return 0; }
  int32_t Reserved031(MsgWord) override { return 0; }
  int32_t Reserved032(MsgWord) override { return 0; }
  int32_t Reserved033(MsgWord) override { return 0; }
  int32_t Reserved034(MsgWord) override { return 0; }
  int32_t Reserved035(MsgWord) override { return 0; }
  int32_t Reserved038(MsgWord) override { return 0; }
  int32_t Reserved040(MsgWord) override { return 0; }
  int32_t Reserved041(MsgWord) override { return 0; }
  void Reserved042(MsgWord) override {}
  void Reserved043(MsgWord) override {}
  int32_t Reserved044(MsgWord) override { return 0; }
  int32_t Reserved045(MsgWord) override { return 0; }
  int32_t Reserved046(MsgWord) override { return 0; }
  int32_t Reserved047(MsgWord) override { return 0; }
  int32_t Reserved048(MsgWord) override { return 0; }
  int32_t Reserved049(MsgWord) override { return 0; }
  int32_t Reserved050(MsgWord) override { return 0; }
  int32_t Reserved051(MsgWord) override { return 0; }
  int32_t Reserved052(MsgWord) override { return 0; }
  int32_t Reserved053(MsgWord) override { return 0; }
  int32_t Reserved054(MsgWord) override { return 0; }
  int32_t Reserved055(MsgWord) override { return 0; }
  int32_t Reserved056(MsgWord) override { return 0; }
  int32_t Reserved057(MsgWord) override { return 0; }
  int32_t Reserved058(MsgWord) override { return 0; }
  int32_t Reserved059(MsgWord) override { return 0; }
  int32_t Reserved060(MsgWord) override { return 0; }
  int32_t Reserved061(MsgWord, MsgWord, MsgWord) override { return 0; }
  int32_t Reserved062() override { return 0; }
  int32_t Reserved063() override { return 0; }
  int32_t Reserved064(MsgWord) override { return 0; }
  int32_t Reserved065(MsgWord) override { return 0; }
  int32_t Reserved066(MsgWord) override { return 0; }
  void Reserved067() override {}
  void Reserved068() override {}
  void Reserved069(MsgWord, MsgWord) override {}
  void Reserved070() override {}
  void Reserved071() override {}
  void Reserved072(MsgWord, MsgWord) override {}
  void Reserved073() override {}
  void Reserved074(MsgWord) override {}
  int32_t Reserved075(MsgWord) override { return 0; }
  void Reserved076(MsgWord) override {}
  void Reserved077(MsgWord) override {}
  int32_t Reserved078(MsgWord) override { return 0; }
  int32_t Reserved079(MsgWord) override { return 0; }
  int32_t Reserved081(MsgWord) override { return 0; }
  int32_t Reserved083(MsgWord) override { return 0; }
  int32_t Reserved084(MsgWord) override { return 0; }
  int32_t Reserved086(MsgWord) override { return 0; }
  int32_t Reserved089(MsgWord) override { return 0; }
  int32_t Reserved092(MsgWord) override { return 0; }
  int32_t Reserved093(MsgWord) override { return 0; }
  void Reserved094(MsgWord) override {}
  void Reserved095(MsgWord) override {}
  void Reserved096() override {}
  int32_t Reserved097() override { return 0; }
  void Reserved098(MsgWord, MsgWord) override {}
  int32_t Reserved099(MsgWord) override { return 0; }
  void Reserved100(MsgWord) override {}
  void Reserved102(MsgWord) override {}
  void Reserved103(MsgWord) override {}
  void Reserved104(MsgWord) override {}
  void Reserved105(MsgWord) override {}
  void Reserved106(MsgWord) override {}
  void Reserved107(MsgWord) override {}
  void Reserved108(MsgWord) override {}
  void Reserved109(MsgWord) override {}
  void Reserved110(MsgWord) override {}
  void Reserved111(MsgWord) override {}
  void Reserved112(MsgWord) override {}
  void Reserved113(MsgWord) override {}
  void Reserved114(MsgWord) override {}
  void Reserved115(MsgWord) override {}
  void Reserved116(MsgWord) override {}
  void Reserved117(MsgWord) override {}
  void Reserved118(MsgWord) override {}
  void Reserved119(MsgWord) override {}
  void Reserved120(MsgWord) override {}
  void Reserved121(MsgWord) override {}
};

}  // namespace testing
}  // namespace stand_in

#endif  // MSGLOGIC_ENGINE_QUIET_SINK_H_
