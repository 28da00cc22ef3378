#include "bench/texts.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "textcodec.h"

namespace msglogic {
namespace bench {
namespace {

// Common characters of GB2312 level 1: surnames first, then everyday words.
const char kPool[] =
    "王李张刘陈杨黄赵吴周徐孙马朱胡郭何高林罗郑梁谢宋唐许韩冯邓曹彭曾肖田董袁"
    "潘蒋蔡余杜叶程苏魏吕丁任沈姚卢姜崔钟谭陆汪范金石廖贾夏韦方白邹孟熊秦邱江"
    "的一是在不了有和人这中大为上个国我以要他时来用们生到作地于出就分对成会可"
    "主发年动同工也能下过子说产种面而方后多定行学法所民得经十三之进着等部度家"
    "电力里如水化高自二理起小物现实加量都两体制机当使点从业本去把性好应开它合"
    "还因由其些然前外天政四日那社义事平形相全表间样与关各重新线内数正心反你明"
    "看原又么利比或但质气第向道命此变条只没结解问意建月公无系军很情者最立代想"
    "已通并提直题党程展五果料象员革位入常文总次品式活设及管特件长求老头基资边"
    "流路级少图山统接知较将组见计别她手角期根论运农指几九区强放决西被干做必战"
    "先回则任取据处府研周末打羽毛球产品设计出差回来早上好下班明天见会议室大厅";

const std::vector<std::string>& Pool() {
  static const std::vector<std::string> pool = [] {
    std::vector<std::string> chars;
    const std::string all(kPool);
    for (size_t i = 0; i + 3 <= all.size(); i += 3) chars.push_back(all.substr(i, 3));
    return chars;
  }();
  return pool;
}

const char kAscii[] = "abcdefghijklmnopqrstuvwxyz0123456789";

char AsciiChar(Rng& rng) { return kAscii[rng.Next() % (sizeof kAscii - 1)]; }

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "bench data: %s\n", what);
  std::abort();
}

}  // namespace

uint64_t Rng::Next() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15u);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  return z ^ (z >> 31);
}

std::string ChineseUtf8(Rng& rng, size_t chars, bool punctuated) {
  const std::vector<std::string>& pool = Pool();
  std::string text;
  text.reserve(3 * chars);
  for (size_t i = 0; i < chars; ++i) {
    if (punctuated && i > 0 && i + 1 < chars && rng.Next() % 12 == 0) {
      text += rng.Next() % 2 ? "，" : "。";
    } else {
      text += pool[rng.Next() % pool.size()];
    }
  }
  return text;
}

std::string NameUtf8(Rng& rng, size_t bytes) {
  std::string name = ChineseUtf8(rng, bytes / 3);
  while (name.size() < bytes) name += AsciiChar(rng);
  return name;
}

std::string NameGb(Rng& rng, size_t bytes) {
  std::string name = ToGb(ChineseUtf8(rng, bytes / 2));
  while (name.size() < bytes) name += AsciiChar(rng);
  return name;
}

std::string ToGb(const std::string& utf8) {
  std::string gb(utf8.size(), '\0');
  gb.resize(UTF_8ToGB2312N(&gb[0], gb.size(), utf8.data(), utf8.size()));
  if (gb.find('?') != std::string::npos) Fail("a character has no GB2312 form");
  return gb;
}

std::string ToUtf8(const std::string& gb) {
  std::string utf8(2 * gb.size(), '\0');
  utf8.resize(GB2312ToUTF_8N(&utf8[0], utf8.size(), gb.data(), gb.size()));
  if (utf8.find('?') != std::string::npos) Fail("a GB2312 text does not decode");
  return utf8;
}

}  // namespace bench
}  // namespace msglogic
