#include "console/relay.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "console/session.hpp"
#include "console_util.hpp"
#include "stdio_util.hpp"

using namespace halvo;
using namespace halvo::console;
using protocol::Failure;
using protocol::FailureResult;
using test::Log;
namespace msg = protocol::message;
namespace call = msg::call;
using msg::Message;

namespace {

using Events = std::vector<std::string>;

std::string frame(const Message& m) { return m.write().value(); }
Message request(uint64_t id, msg::Call::Variant c) { return Message{Message::Request{id, msg::Call{std::move(c)}}}; }
Message response(uint64_t id, msg::Response::Variant r) {
    return Message{Message::Response{id, msg::Response{std::move(r)}}};
}
Bytes bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

// The answer decoded, "empty", or the reason the relaying side is given.
std::string described(const FailureResult<std::string>& r) {
    if (!r) return "reason: " + relay::reason(r.error());
    if (r->empty()) return "empty";
    auto m = relay::decode(*r);
    return m ? "answer: " + m->debug() : "undecodable: " + relay::reason(m.error());
}
std::string answer(const Message& m) { return "answer: " + m.debug(); }

FailureResult<msg::Response> answered_by(msg::Response::Variant r) { return msg::Response{std::move(r)}; }

TEST(Relay, Table) {
    using Answer = test::ScriptedClient::Answer;
    const std::string unreadable = "reason: reading a relayed message: BSON error. Kind: A deserialization-related error "
                                   "occurred. Message: ";
    const call::ExecCall exec{{"true"}, std::nullopt};
    const call::ExecResp ran{0, bytes("hi"), {}, false};
    const msg::Error refusal{-32001, "nope", bson::Value(std::string("detail"))};
    struct Case {
        std::string name, frame;
        Answer answer;
        std::optional<Failure> notify_failure;
        std::string want;
        Events log;
    };
    const Case cases[] = {
        {"quit is swallowed", frame(Message{msg::Notification::Quit}), {}, {}, "empty", {}},
        {"start", frame(Message{msg::Notification::Start}), {}, {}, "empty", {"notify start"}},
        {"stop", frame(Message{msg::Notification::Stop}), {}, {}, "empty", {"notify stop"}},
        {"a notification that cannot be sent", frame(Message{msg::Notification::Start}), {},
         Failure::broken(Chain("gone").context("sending a message")), "reason: sending a message: gone",
         {"notify start"}},
        {"init is the owning console's", frame(request(7, call::InitCall{})), {}, {},
         answer(response(7, msg::Error::make(-32600, "the session was announced by the console that owns it"))), {}},
        {"a call goes back under the relayed id", frame(request(42, exec)),
         [&](const msg::Call&) { return answered_by(ran); }, {}, answer(response(42, ran)), {"call exec"}},
        {"an answer of another kind goes back unchanged", frame(request(42, exec)),
         [&](const msg::Call&) { return answered_by(call::WriteResp{3}); }, {}, answer(response(42, call::WriteResp{3})),
         {"call exec"}},
        {"a refusal goes back as an error response", frame(request(42, exec)),
         [&](const msg::Call&) -> FailureResult<msg::Response> { return fail(Failure::refused(refusal)); }, {},
         answer(response(42, refusal)), {"call exec"}},
        {"a broken channel fails the relay", frame(request(42, exec)),
         [](const msg::Call&) -> FailureResult<msg::Response> {
             return fail(Failure::broken(Chain("the pipe").context("reading a message")));
         },
         {}, "reason: reading a message: the pipe", {"call exec"}},
        {"an answer that cannot be written", frame(request(42, call::ReadCall{"/f", std::nullopt, std::nullopt})),
         [](const msg::Call&) { return answered_by(call::ReadResp{{}, uint64_t{1} << 63}); }, {},
         "reason: serializing a relayed message: BSON error. Kind: Unsigned integer 9223372036854775808 cannot fit "
         "into BSON.",
         {"call read"}},
        {"a response", frame(response(9, call::WriteResp{1})), {}, {},
         "reason: a relayed frame answered request 9; only the owning console answers", {}},
        {"no BSON", std::string("\x05\x00", 2), {}, {}, unreadable + "the input ends inside a document's length.", {}},
        {"no message", std::string("\x05\x00\x00\x00\x00", 5), {}, {}, unreadable + "missing field `jsonrpc`.", {}},
    };
    for (const auto& c : cases) {
        auto log = std::make_shared<Log>();
        test::ScriptedClient client(log, c.answer, c.notify_failure);
        EXPECT_EQ(described(test::await(relay::answer(client, c.frame))), c.want) << c.name;
        EXPECT_EQ(log->events(), c.log) << c.name;
    }
}

TEST(Relay, ReasonOfARefusalIsItsText) {
    EXPECT_EQ(relay::reason(Failure::refused(msg::Error::make(7, "no"))), "the console server refused: no (7)");
}

TEST(Relay, OnTheStandInTheRelayedIdNeverReachesTheServer) {
    test::TempDir dir;
    const std::string log = dir / "log";
    auto built = test::await(ConsoleClient::builder().cmd(test::stand_in(R"({"log": ")" + log + R"("})")).build());
    ASSERT_TRUE(built) << built.error().render();
    ConsoleClient console = std::move(built).value();
    for (int i = 0; i < 2; ++i) ASSERT_TRUE(test::await(console.exec({"true"}, std::nullopt)));

    // Ids 0 to 2 are used up: the relayed 42 goes out as 3 and comes back as 42.
    auto got = test::await(console.relay(frame(request(42, call::ExecCall{{"echo", "hi"}, std::nullopt}))));
    EXPECT_EQ(described(got), answer(response(42, call::ExecResp{0, bytes("hi\n"), {}, false})));
    EXPECT_TRUE(test::eventually_holds(log, R"("id": 3, "method": "exec")"));

    // Quit and init never reach it, and it stays usable; start does.
    EXPECT_EQ(described(test::await(console.relay(frame(Message{msg::Notification::Quit})))), "empty");
    EXPECT_EQ(described(test::await(console.relay(frame(request(5, call::InitCall{}))))),
              answer(response(5, msg::Error::make(-32600, "the session was announced by the console that owns it"))));
    EXPECT_EQ(described(test::await(console.relay(frame(Message{msg::Notification::Start})))), "empty");
    ASSERT_TRUE(test::await(console.exec({"true"}, std::nullopt)));
    EXPECT_TRUE(test::eventually_holds(log, R"("method": "start"})"));
    const std::string text = test::read_file(log);
    EXPECT_EQ(text.find(R"("event": "quit")"), std::string::npos);
    EXPECT_EQ(text.find(R"("method": "init")"), text.rfind(R"("method": "init")"));

    auto closing = std::move(console).close();
    test::await(std::move(closing));
    EXPECT_TRUE(test::eventually_holds(log, R"("event": "quit")"));
}

}  // namespace
