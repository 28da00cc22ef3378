// The built-in scenario: the one the demo's tour walks through.
#include "engine/scenario.h"

namespace stand_in {

const char* DefaultScenarioJson() {
  return R"json({
  "name": "built-in",
  "activity_ms": 4000,
  "latency_ms": 20,
  "echo_prefix": "echo: ",
  "refuse": { "ids": [10010], "names": ["blocked"] },
  "friends": [
    { "id": 10002, "value": 7, "name": "张伟", "display_name": "老张",
      "long_text": "产品部，周末打羽毛球。", "status": 1,
      "info_a": 1, "info_b": 2, "info_c": 3 },
    { "id": 10003, "value": 8, "name": "李娜", "display_name": "娜娜",
      "long_text": "设计组", "status": 1 },
    { "id": 10004, "value": 9, "name": "王芳", "display_name": "芳芳",
      "long_text": "出差中，周五回来。", "status": 2 },
    { "id": 10005, "value": 10, "name": "刘洋", "display_name": "洋洋",
      "long_text": "", "status": 3 },
    { "id": 10006, "value": 12, "listed": false, "name": "陈静",
      "display_name": "静静", "long_text": "不在值列表里：不会交给宿主。" },
    { "id": 10008, "value": 11, "name": "回声机器人", "display_name": "回声",
      "long_text": "发什么，回什么。", "status": 1, "reply": "echo" }
  ],
  "users": [
    { "id": 20001, "value": 42, "name": "赵强", "reply": "你好！消息已收到。" }
  ],
  "reactions": [
    { "on": "start", "then": [
      { "do": "text", "user": 10003, "text": "早上好！", "after_ms": 30 } ] },
    { "on": "contact_user", "then": [
      { "do": "event_a", "user": "$value", "text": "会话请求已送达" } ] },
    { "on": "room_info", "then": [
      { "do": "event_a", "user": 0, "text": "收到 $value 个房间：$rooms" } ] },
    { "on": "request_a", "value": 1, "then": [
      { "do": "user_list", "users": [
        { "id": 20001, "kind": 1, "name": "赵强" },
        { "id": 20002, "kind": 1, "name": "孙丽" },
        { "id": 20003, "kind": 2, "name": "系统账号" } ] } ] },
    { "on": "request_b", "value": 2, "then": [
      { "do": "friend_update", "user": 10003,
        "set": { "status": 3, "long_text": "下班了，明天见。" } },
      { "do": "event_b", "value": "$value" } ] },
    { "on": "request_b", "value": 98, "then": [ { "do": "silence" } ] },
    { "on": "request_b", "value": 99, "then": [ { "do": "disconnect", "after_ms": 50 } ] },
    { "on": "request_c", "then": [
      { "do": "event_c" },
      { "do": "event_d", "values": [1, 2, 3] } ] }
  ]
})json";
}

}  // namespace stand_in
