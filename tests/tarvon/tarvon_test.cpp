#include <gtest/gtest.h>

#include <chrono>

#include "tests/tarvon/stub_server.h"
#include "velquor/tarvon/tarvon.h"

namespace velquor::tarvon {
namespace {

using velquor::testing::failure_of;
using velquor::testing::ScopedEnv;
using velquor::testing::StubServer;

constexpr char kKey[] = "sk-test-secret-key";

class AnthropicClientTest : public ::testing::Test {
 protected:
  ScopedEnv key_{"ANTHROPIC_API_KEY", kKey};
  ScopedEnv base_{"ANTHROPIC_BASE_URL", nullptr};
  ScopedEnv no_proxy_{"no_proxy", "127.0.0.1"};  // the stub is local, whatever the proxy

  static ClientOptions at(const StubServer& server) {
    ClientOptions options;
    options.base_url = server.base_url();
    options.timeout = std::chrono::milliseconds(2000);
    return options;
  }
};

TEST_F(AnthropicClientTest, SendsTheMessagesRequestAndReturnsTheFirstText) {
  StubServer server([](const httplib::Request&) {
    return StubServer::Answer{200, R"({"content": [{"type": "text", "text": "Builds slow down."},)"
                                   R"( {"type": "text", "text": "ignored"}]})"};
  });
  AnthropicClient client("anthropic/claude-sonnet-4.5", at(server));
  EXPECT_EQ(client.generate("Describe \"this\" \xc3\xa9"), "Builds slow down.");
  const auto seen = server.seen();
  EXPECT_EQ(seen.path, "/v1/messages");
  EXPECT_EQ(seen.header("x-api-key"), kKey);
  EXPECT_EQ(seen.header("anthropic-version"), "2023-06-01");
  EXPECT_EQ(seen.header("content-type"), "application/json");
  EXPECT_EQ(parse_json(seen.body, "request"),
            parse_json(R"({"model": "claude-sonnet-4-5", "max_tokens": 300, "messages": )"
                       R"([{"role": "user", "content": "Describe \"this\" \u00e9"}]})",
                       "expected"));
}

TEST_F(AnthropicClientTest, LongPromptsGoOutInOneRoundTrip) {
  StubServer server([](const httplib::Request& request) {
    const bool whole = request.body.find(std::string(20000, 'x')) != std::string::npos;
    return StubServer::Answer{200, std::string(R"({"content": [{"text": ")") +
                                       (whole ? "whole" : "cut") + "\"}]}"};
  });
  AnthropicClient client("m", at(server));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.generate(std::string(20000, 'x')), "whole");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_EQ(server.seen().header("Expect"), "<absent>");
}

TEST_F(AnthropicClientTest, ModelNamesLoseTheVendorPrefixAndDots) {
  EXPECT_EQ(AnthropicClient("anthropic/claude-sonnet-4.5").model(), "claude-sonnet-4-5");
  EXPECT_EQ(AnthropicClient("claude-3.5.1").model(), "claude-3-5-1");
  EXPECT_EQ(AnthropicClient("openrouter/anthropic/x.y").model(), "openrouter/anthropic/x-y");
}

TEST_F(AnthropicClientTest, BaseUrlComesFromOptionsThenEnvironmentThenTheService) {
  EXPECT_EQ(AnthropicClient("m").endpoint(), "https://api.anthropic.com/v1/messages");
  ScopedEnv base("ANTHROPIC_BASE_URL", "http://127.0.0.1:9/");
  EXPECT_EQ(AnthropicClient("m").endpoint(), "http://127.0.0.1:9/v1/messages");
  ClientOptions options;
  options.base_url = "http://localhost:8";
  EXPECT_EQ(AnthropicClient("m", options).endpoint(), "http://localhost:8/v1/messages");
}

TEST_F(AnthropicClientTest, ConstructionNeedsAKey) {
  for (const char* value : {static_cast<const char*>(nullptr), ""}) {
    ScopedEnv key("ANTHROPIC_API_KEY", value);
    EXPECT_THROW(AnthropicClient("m"), LanguageModelError);
  }
}

TEST_F(AnthropicClientTest, ErrorStatusesRaiseWithoutRevealingTheKey) {
  StubServer server([](const httplib::Request& request) {
    return StubServer::Answer{401, "{\"error\": \"bad key " + request.get_header_value("x-api-key") + "\"}"};
  });
  AnthropicClient client("m", at(server));
  const std::string message = failure_of(client);
  EXPECT_NE(message.find("HTTP 401"), std::string::npos) << message;
  EXPECT_NE(message.find("bad key ***"), std::string::npos) << message;
  EXPECT_EQ(message.find(kKey), std::string::npos) << message;
}

TEST_F(AnthropicClientTest, MalformedAnswersRaise) {
  for (const char* body : {"not json", "", R"({"content": []})", R"({"content": [{"text": 3}]})",
                           R"({"content": {"text": "x"}})", R"({"completion": "x"})", "[1]"}) {
    StubServer server([body](const httplib::Request&) { return StubServer::Answer{200, body}; });
    AnthropicClient client("m", at(server));
    EXPECT_FALSE(failure_of(client).empty()) << body;
  }
}

TEST_F(AnthropicClientTest, SlowServicesTimeOut) {
  StubServer server([](const httplib::Request&) {
    return StubServer::Answer{200, R"({"content": [{"text": "late"}]})", 600};
  });
  ClientOptions options = at(server);
  options.timeout = std::chrono::milliseconds(100);
  AnthropicClient client("m", options);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(failure_of(client).empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

TEST_F(AnthropicClientTest, UnreachableServicesRaise) {
  ClientOptions options;
  options.base_url = "http://127.0.0.1:1";
  AnthropicClient client("m", options);
  EXPECT_NE(failure_of(client).find("failed"), std::string::npos);
}

}  // namespace
}  // namespace velquor::tarvon
