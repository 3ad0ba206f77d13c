// kestu-mqtt against mosquitto brokers of the tests' own: a broker stopped
// and started again mid-run (reconnection, the newest messages kept and the
// drops counted, "offline" on a stop and as the last will), start-up errors
// that end it with status 1,
// brokers that want a password or TLS, and the topic and address rules.
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include "tests/tools/mqtt_test_util.h"
#include "tests/tools/web_test_util.h"
#include "tools/driver_client.h"
#include "tools/mqtt/broker_settings.h"
#include "tools/mqtt/mqtt_topics.h"

namespace kestu_tools {
namespace {

namespace kestueye = ::talvenrook::kestu::v1::kestueye;
using kestu_testing::PollUntil;
using kestu_testing::PortBlock;

// The value of the first sample of a metric; -1 when there is none.
double MetricValue(const std::string& metrics, const std::string& name) {
  std::istringstream lines(metrics);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(name + "{", 0) == 0 || line.rfind(name + " ", 0) == 0) {
      return std::stod(line.substr(line.rfind(' ') + 1));
    }
  }
  return -1;
}

DriverConfig Version(const std::string& uuid) {
  DriverConfig config;
  config.set_uuid(uuid);
  config.mutable_kestu_eye_config()->set_action(kestueye::GET_VERSION);
  return config;
}

// The uuids of the statuses received on a topic, in order.
std::vector<std::string> StatusUuids(MqttSubscriber& subscriber,
                                     const std::string& topic) {
  std::vector<std::string> uuids;
  for (const auto& m : subscriber.On(topic)) {
    Status status;
    if (google::protobuf::util::JsonStringToMessage(m.payload, &status).ok()) {
      uuids.push_back(status.uuid());
    }
  }
  return uuids;
}

bool Contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

TEST(MqttBrokerTest, BrokerRestartedMidRunIsReconnectedAndTheDropsCounted) {
  const int base = PortBlock(571);
  Broker broker(base + 16, {}, /*persistent=*/true);
  ASSERT_TRUE(broker.Start());
  VisionProcess process(base);
  // A session that outlives the broker's restart, so that nothing sent
  // before this subscriber is back is lost to the test.
  MqttSubscriber watcher(broker.port(), "kestu/#", "kestu-test-watcher");
  ASSERT_TRUE(process.Started() && watcher.Subscribed(kWait));
  const int metrics_port = base + 17;
  MqttProcess mqtt(
      {"--broker=" + broker.address(), "--process", ProcessArgument(base),
       "--metrics_port=" + std::to_string(metrics_port), "--max_queued=5",
       "--reconnect_min_seconds=1", "--reconnect_max_seconds=2"});
  ASSERT_TRUE(mqtt.Started()) << mqtt.child().Stderr();
  const std::string prefix = "kestu/" + Address(base);
  ASSERT_TRUE(watcher.WaitFor(prefix + "/availability", "online", kWait));

  // The face driver answers commands while it is pinged.
  zmq::context_t context(1);
  Pinger pinger(context, base + 1);
  DriverClient face(context, "127.0.0.1", base + 1);
  const std::string topic = prefix + "/face/status";
  ASSERT_TRUE(PollUntil(
      [&] {
        face.Push(Version("first"), kWait);
        return PollUntil(
            [&] { return Contains(StatusUuids(watcher, topic), "first"); },
            milliseconds(1500));
      },
      kWait))
      << mqtt.child().Stderr();

  broker.Stop();
  ASSERT_TRUE(mqtt.child().WaitForStderr("lost broker", kWait));
  // Three bursts of six answers (the driver's status port keeps at most 20
  // unsent), each seen by kestu-mqtt before the next: five are kept.
  httplib::Client client("127.0.0.1", metrics_port);
  std::string metrics;
  auto seen = [&] {
    metrics = Get(client, "/metrics");
    return MetricValue(metrics, "kestu_mqtt_messages_dropped_total") +
           MetricValue(metrics, "kestu_mqtt_messages_queued");
  };
  constexpr int kBursts = 3, kBurst = 6, kAnswers = kBursts * kBurst;
  for (int burst = 0; burst < kBursts; ++burst) {
    const double before = seen();
    for (int i = burst * kBurst; i < (burst + 1) * kBurst; ++i) {
      ASSERT_TRUE(face.Push(Version("v" + std::to_string(i)), kWait));
    }
    ASSERT_TRUE(PollUntil([&] { return seen() >= before + kBurst; }, kWait))
        << metrics << mqtt.child().Stderr();
  }
  EXPECT_GE(MetricValue(metrics, "kestu_mqtt_messages_dropped_total"),
            kAnswers - 5)
      << metrics;
  EXPECT_EQ(MetricValue(metrics, "kestu_mqtt_messages_queued"), 5) << metrics;
  EXPECT_EQ(MetricValue(metrics, "kestu_mqtt_broker_connected"), 0) << metrics;

  ASSERT_TRUE(broker.Start());
  ASSERT_TRUE(mqtt.child().WaitForStderr("reconnected to broker", kWait));
  std::smatch match;
  const std::string log = mqtt.child().Stderr();
  ASSERT_TRUE(std::regex_search(
      log, match,
      std::regex("(\\d+) messages dropped while away \\((\\d+) in total\\)")))
      << log;
  EXPECT_GE(std::stoi(match[1]), kAnswers - 5);
  const std::string newest = "v" + std::to_string(kAnswers - 1);
  ASSERT_TRUE(PollUntil(
      [&] { return Contains(StatusUuids(watcher, topic), newest); }, kWait))
      << mqtt.child().Stderr();
  // The retained availability was sent again on the new connection.
  EXPECT_TRUE(PollUntil(
      [&] {
        int online = 0;
        for (const auto& m : watcher.On(prefix + "/availability")) {
          online += m.payload == "online" ? 1 : 0;
        }
        return online >= 2;
      },
      kWait));
  metrics = Get(client, "/metrics");
  EXPECT_EQ(MetricValue(metrics, "kestu_mqtt_messages_dropped_total"),
            std::stoi(match[2]))
      << metrics;
  EXPECT_EQ(MetricValue(metrics, "kestu_mqtt_reconnects_total"), 1) << metrics;
  EXPECT_EQ(MetricValue(metrics, "kestu_mqtt_broker_connected"), 1) << metrics;

  // What came through is the newest of the answers, in order.
  std::vector<std::string> kept;
  for (const std::string& uuid : StatusUuids(watcher, topic)) {
    if (uuid.size() > 1 && uuid[0] == 'v') kept.push_back(uuid);
  }
  ASSERT_FALSE(kept.empty());
  ASSERT_LE(kept.size(), 5u);
  for (size_t i = 0; i < kept.size(); ++i) {
    EXPECT_EQ(kept[i], "v" + std::to_string(kAnswers - kept.size() + i));
  }

  // Stopped, kestu-mqtt says "offline" itself and ends with status 0.
  ASSERT_TRUE(mqtt.child().Signal(SIGTERM));
  EXPECT_EQ(mqtt.child().Wait(milliseconds(5000)), 0) << mqtt.child().Stderr();
  EXPECT_TRUE(watcher.WaitFor(prefix + "/availability", "offline", kWait));

  // Started again, then ended without a goodbye: the broker publishes its
  // last will.
  MqttProcess again({"--broker=" + broker.address(), "--process",
                     ProcessArgument(base), "--metrics_port=0"});
  ASSERT_TRUE(again.Started()) << again.child().Stderr();
  ASSERT_TRUE(watcher.WaitFor(prefix + "/availability", "online", kWait));
  again.child().Kill();
  EXPECT_TRUE(watcher.WaitFor(prefix + "/availability", "offline", kWait));
}

// Start-up with a broker that cannot be used, or flags that cannot be: a
// clear reason and status 1. Cases with `works` connect and run.
enum class BrokerKind { kNone, kOpen, kPassword, kTls };

struct StartCase {
  const char* name;
  int port_index;
  BrokerKind broker;
  std::vector<std::string> flags;  // BROKER, DIR: the case's broker and files
  bool works;
  std::string text;  // in standard error
};

class MqttStartTest : public ::testing::TestWithParam<StartCase> {};

void RunCommand(const std::string& command) {
  ASSERT_EQ(std::system((command + " >/dev/null 2>&1").c_str()), 0) << command;
}

// A CA, and a certificate for 127.0.0.1 that it signed; a second CA that
// signed nothing.
void MakeCertificates(const std::string& dir) {
  const std::string key =
      "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
  RunCommand(key + "-x509 -days 2 -subj /CN=kestu-test-ca -keyout " + dir +
             "ca.key -out " + dir + "ca.pem");
  RunCommand(key + "-x509 -days 2 -subj /CN=other-ca -keyout " + dir +
             "other.key -out " + dir + "other.pem");
  RunCommand(key + "-subj /CN=127.0.0.1 -keyout " + dir + "server.key -out " +
             dir + "server.csr");
  std::ofstream(dir + "san.cnf") << "subjectAltName=IP:127.0.0.1\n";
  RunCommand("openssl x509 -req -days 2 -in " + dir + "server.csr -CA " + dir +
             "ca.pem -CAkey " + dir + "ca.key -CAcreateserial -extfile " + dir +
             "san.cnf -out " + dir + "server.pem");
}

std::string Replaced(std::string text, const std::string& from,
                     const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

TEST_P(MqttStartTest, EndsWithAReasonOrRuns) {
  const StartCase& c = GetParam();
  const int port = PortBlock(c.port_index) + 16;
  char dir_template[] = "/tmp/kestu-mqtt-start-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string dir = std::string(dir_template) + "/";
  chmod(dir.c_str(), 0755);
  std::vector<std::string> lines;
  if (c.broker == BrokerKind::kPassword) {
    RunCommand("mosquitto_passwd -b -c " + dir + "passwords kestu s3cret");
    lines.push_back("password_file " + dir + "passwords");
    std::ofstream(dir + "right") << "s3cret\n";
    std::ofstream(dir + "wrong") << "guess\n";
  }
  if (c.broker == BrokerKind::kTls) {
    MakeCertificates(dir);
    for (const char* file :
         {"cafile ca.pem", "certfile server.pem", "keyfile server.key"}) {
      const std::string line = file;
      lines.push_back(line.substr(0, line.find(' ') + 1) + dir +
                      line.substr(line.find(' ') + 1));
    }
  }
  Broker broker(port, lines);
  if (c.broker != BrokerKind::kNone) {
    ASSERT_TRUE(broker.Start()) << broker.Stderr();
  }
  std::vector<std::string> flags = {"--metrics_port=0", "--process",
                                    ProcessArgument(PortBlock(c.port_index))};
  for (const std::string& flag : c.flags) {
    flags.push_back(
        Replaced(Replaced(flag, "BROKER", broker.address()), "DIR/", dir));
  }
  MqttProcess mqtt(flags);
  if (c.works) {
    EXPECT_TRUE(mqtt.Started()) << mqtt.child().Stderr();
    EXPECT_TRUE(mqtt.child().Running());
  } else {
    EXPECT_EQ(mqtt.child().Wait(kWait), 1) << mqtt.child().Stderr();
  }
  EXPECT_NE(mqtt.child().Stderr().find(c.text), std::string::npos)
      << mqtt.child().Stderr();
  std::system(("rm -rf " + dir).c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Brokers, MqttStartTest,
    ::testing::Values(
        StartCase{
            "UnknownHost",
            572,
            BrokerKind::kNone,
            {"--broker=broker.invalid:1883"},
            false,
            "cannot connect to broker broker.invalid:1883: Lookup error."},
        StartCase{"NothingListening",
                  573,
                  BrokerKind::kNone,
                  {"--broker=BROKER"},
                  false,
                  "Connection refused"},
        StartCase{"UnreadablePasswordFile",
                  575,
                  BrokerKind::kNone,
                  {"--broker=BROKER", "--username=kestu",
                   "--password_file=DIR/missing"},
                  false,
                  "cannot read --password_file "},
        StartCase{
            "WrongPassword",
            576,
            BrokerKind::kPassword,
            {"--broker=BROKER", "--username=kestu",
             "--password_file=DIR/wrong"},
            false,
            "refused the connection: Connection Refused: not authorised."},
        StartCase{"RightPassword",
                  577,
                  BrokerKind::kPassword,
                  {"--broker=BROKER", "--username=kestu",
                   "--password_file=DIR/right"},
                  true,
                  "kestu-mqtt: publishing 1 process to broker"},
        StartCase{"TlsWithItsCa",
                  578,
                  BrokerKind::kTls,
                  {"--broker=BROKER", "--cafile=DIR/ca.pem"},
                  true,
                  "kestu-mqtt: publishing 1 process to broker"},
        StartCase{"TlsWithAnotherCa",
                  579,
                  BrokerKind::kTls,
                  {"--broker=BROKER", "--cafile=DIR/other.pem"},
                  false,
                  "certificate verify failed"},
        StartCase{"WildcardPrefix",
                  580,
                  BrokerKind::kNone,
                  {"--topic_prefix=site/+/kestu"},
                  false,
                  "--topic_prefix \"site/+/kestu\" has an empty level or a "
                  "wildcard"}),
    [](const ::testing::TestParamInfo<StartCase>& info) {
      return info.param.name;
    });

struct AddressCase {
  const char* name;
  std::string text;
  bool valid;
  std::string host;
  int port;
};

class BrokerAddressTest : public ::testing::TestWithParam<AddressCase> {};

TEST_P(BrokerAddressTest, Parses) {
  const AddressCase& c = GetParam();
  std::string host, error;
  int port = 0;
  ASSERT_EQ(ParseBrokerAddress(c.text, &host, &port, &error), c.valid) << error;
  if (!c.valid) {
    EXPECT_NE(error.find("--broker"), std::string::npos) << error;
    return;
  }
  EXPECT_EQ(host, c.host);
  EXPECT_EQ(port, c.port);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, BrokerAddressTest,
    ::testing::Values(
        AddressCase{"HostAndPort", "127.0.0.1:1883", true, "127.0.0.1", 1883},
        AddressCase{"HostAlone", "broker.site", true, "broker.site", 1883},
        AddressCase{"V6AndPort", "[::1]:8883", true, "::1", 8883},
        AddressCase{"V6Alone", "[fe80::1]", true, "fe80::1", 1883},
        AddressCase{"V6WithoutBrackets", "::1:1883", false, "", 0},
        AddressCase{"UnclosedBracket", "[::1", false, "", 0},
        AddressCase{"NoHost", ":1883", false, "", 0},
        AddressCase{"EmptyPort", "host:", false, "", 0},
        AddressCase{"PortZero", "host:0", false, "", 0},
        AddressCase{"PortWithLetters", "host:1883x", false, "", 0},
        AddressCase{"PortTooLarge", "host:65536", false, "", 0}),
    [](const ::testing::TestParamInfo<AddressCase>& info) {
      return info.param.name;
    });

TEST(MqttTopicsTest, ZoneNamesBecomeOneLevel) {
  const MqttTopics topics("site/kestu/");
  EXPECT_EQ(topics.Count("gate", "crowd", "Walkway", "FORWARD"),
            "site/kestu/gate/crowd/zone/Walkway/FORWARD/count");
  EXPECT_EQ(topics.Count("gate", "crowd", "in/out #2+", "BACKWARD"),
            "site/kestu/gate/crowd/zone/in_out _2_/BACKWARD/count");
  EXPECT_EQ(topics.Count("gate", "crowd", "", "FORWARD"),
            "site/kestu/gate/crowd/zone/_/FORWARD/count");
  EXPECT_EQ(topics.Count("gate", "crowd", "Rue de l'\xc3\x89glise", "FORWARD"),
            "site/kestu/gate/crowd/zone/Rue de l'\xc3\x89glise/FORWARD/count");
  EXPECT_EQ(topics.Availability("127.0.0.1:60000"),
            "site/kestu/127.0.0.1:60000/availability");
}

}  // namespace
}  // namespace kestu_tools
