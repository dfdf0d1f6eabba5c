#include <gtest/gtest.h>

#include "tests/tarvon/stub_server.h"
#include "velquor/ulmeric/ulmeric.h"

namespace velquor::ulmeric {
namespace {

using tarvon::ClientOptions;
using tarvon::LanguageModelError;
using velquor::testing::failure_of;
using velquor::testing::ScopedEnv;
using velquor::testing::StubServer;

constexpr char kKey[] = "or-test-secret-key";

class OpenRouterClientTest : public ::testing::Test {
 protected:
  ScopedEnv key_{"OPENROUTER_API_KEY", kKey};
  ScopedEnv base_{"OPENROUTER_BASE_URL", nullptr};
  ScopedEnv no_proxy_{"no_proxy", "127.0.0.1"};  // the stub is local, whatever the proxy
};

TEST_F(OpenRouterClientTest, SendsTheChatRequestAndReturnsTheFirstChoice) {
  StubServer server([](const httplib::Request&) {
    return StubServer::Answer{
        200, R"({"choices": [{"message": {"role": "assistant", "content": "Fewer tests ran."}}]})"};
  });
  ScopedEnv base("OPENROUTER_BASE_URL", (server.base_url() + "/api/v1").c_str());
  OpenRouterClient client("anthropic/claude-sonnet-4.5");
  EXPECT_EQ(client.generate("Why?"), "Fewer tests ran.");
  const auto seen = server.seen();
  EXPECT_EQ(seen.path, "/api/v1/chat/completions");
  EXPECT_EQ(seen.header("Authorization"), std::string("Bearer ") + kKey);
  EXPECT_EQ(seen.header("content-type"), "application/json");
  EXPECT_EQ(parse_json(seen.body, "request"),
            parse_json(R"({"model": "anthropic/claude-sonnet-4.5", "max_tokens": 300, )"
                       R"("messages": [{"role": "user", "content": "Why?"}]})",
                       "expected"));
}

TEST_F(OpenRouterClientTest, DefaultsToTheRealServiceAndNeedsAKey) {
  EXPECT_EQ(OpenRouterClient("m").endpoint(), "https://openrouter.ai/api/v1/chat/completions");
  ScopedEnv key("OPENROUTER_API_KEY", "");
  EXPECT_THROW(OpenRouterClient("m"), LanguageModelError);
}

TEST_F(OpenRouterClientTest, ErrorsRaiseWithoutRevealingTheKey) {
  StubServer server([](const httplib::Request& request) {
    if (request.body.find("\"slow\"") != std::string::npos)
      return StubServer::Answer{200, "{}", 600};
    if (request.body.find("\"status\"") != std::string::npos)
      return StubServer::Answer{503, "overloaded; " + request.get_header_value("Authorization")};
    if (request.body.find("\"null\"") != std::string::npos)
      return StubServer::Answer{200, R"({"choices": [{"message": {"content": null}}]})"};
    return StubServer::Answer{200, R"({"choices": []})"};
  });
  ClientOptions options;
  options.base_url = server.base_url();
  options.timeout = std::chrono::milliseconds(100);
  for (const char* model : {"status", "null", "empty", "slow"}) {
    OpenRouterClient client(model, options);
    const std::string message = failure_of(client);
    EXPECT_EQ(message.find(kKey), std::string::npos) << message;
    if (std::string(model) == "status") {
      EXPECT_NE(message.find("HTTP 503"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace velquor::ulmeric
