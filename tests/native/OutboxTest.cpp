#include "tools/msgserver/Outbox.h"

#include <gtest/gtest.h>

#include <set>

namespace velmora::msgserver {
namespace {

using msg::Ipv4;
using msg::TaskLockRecord;
using std::chrono::duration;
using std::chrono::milliseconds;

const Endpoint kLoader{Ipv4{127, 0, 0, 2}, 5001};
const Endpoint kAmy{Ipv4{127, 0, 0, 3}, 5002};
const Endpoint kBob{Ipv4{127, 0, 0, 4}, 5003};
const Endpoint kCarl{Ipv4{127, 0, 0, 5}, 5004};
constexpr double kRecordCharge = BufferCharge(msg::kLockDatagramSize);

uint32_t TypeOf(const Datagram& sent) { return msg::ReadType(sent.bytes->data(), sent.bytes->size()); }

std::string TasksOf(const Datagram& sent) {
  return TaskLockRecord::Decode(sent.bytes->data() + msg::kTypeCodeSize).tasks;
}

// A server holding `locks` locks of tasks "t00".."tNN" (key order is task
// order: one account, one project), and clients that talk to it through
// one outbox on a clock of the test's own.
class OutboxTest : public ::testing::Test {
 protected:
  void Fill(int locks) {
    for (int i = 0; i < locks; ++i) Handle(Lock(msg::kMsgLockClaim, Task(i)), kLoader);
  }
  static std::string Task(int i) { return (i < 10 ? "t0" : "t") + std::to_string(i); }
  static std::vector<uint8_t> Lock(uint32_t type, const std::string& tasks) {
    return msg::MakeDatagram(type, TaskLockRecord{"loader", "Loader", 1, tasks});
  }
  // Registers, and leaves the client's buffer empty again.
  void Register(const Endpoint& client) {
    msg::PeerRecord own;
    own.name = "c" + std::to_string(client.port);
    Handle(msg::MakeDatagram(msg::kMsgRegister, own), client);
    Take();
    now += std::chrono::seconds(1);
  }
  void AskTable(const Endpoint& client) {
    Handle(msg::MakeDatagram(msg::kMsgLockTableRequest, TaskLockRecord{}), client);
  }
  void Handle(const std::vector<uint8_t>& datagram, const Endpoint& from) {
    Answers answers = server.Handle(datagram.data(), datagram.size(), from);
    for (Datagram& sent : answers.datagrams) outbox.Add(std::move(sent), now);
    if (answers.table) outbox.AddTable(*answers.table, now);
  }
  // What goes out now, to `to` only when given. Clients answer every check
  // at once, and the checks are left out, unless `answering` is off.
  std::vector<Datagram> Take(const std::optional<Endpoint>& to = std::nullopt) {
    std::vector<Datagram> out;
    for (bool answered = true; answered;) {
      std::vector<Datagram> batch;
      due = outbox.TakeDue(now, server, batch);
      answered = false;
      for (Datagram& d : batch) {
        if (answering && TypeOf(d) == msg::kMsgAliveCheck) {
          outbox.Answered(d.to, now);
          answered = true;
          ++checks;
        } else {
          out.push_back(std::move(d));
        }
      }
    }
    if (to) out.erase(std::remove_if(out.begin(), out.end(), [&](const Datagram& d) { return !(d.to == *to); }),
                      out.end());
    return out;
  }
  // Everything, the clock moved on to each time the outbox names; with
  // `until`, only up to the table record of those tasks.
  std::vector<Datagram> Drain(const std::string& until = "") {
    std::vector<Datagram> all;
    for (int step = 0; step < 100000; ++step) {
      for (const Datagram& d : Take()) {
        all.push_back(d);
        if (!until.empty() && TypeOf(d) == 205 && TasksOf(d) == until) return all;
      }
      if (!due) break;
      now = std::max(now, *due);
    }
    return all;
  }
  // What goes out up to and with the next check (or until all is sent),
  // the clock moved on as the pace asks; only with `answering` off.
  std::vector<std::string> Window() {
    std::vector<Datagram> all;
    for (int step = 0; step < 1000; ++step) {
      const std::vector<Datagram> out = Take();
      all.insert(all.end(), out.begin(), out.end());
      if (!due || (!all.empty() && TypeOf(all.back()) == msg::kMsgAliveCheck)) break;
      now = std::max(now, *due);
    }
    return Names(all);
  }
  static std::vector<std::string> Names(const std::vector<Datagram>& sent) {
    std::vector<std::string> names;
    for (const Datagram& d : sent) {
      names.push_back(TypeOf(d) == 203 ? "end" : TypeOf(d) == 106 ? "check" : TasksOf(d));
    }
    return names;
  }

  MessageServer server{0};
  Outbox outbox{1024 * 1024};  // 1 MiB/s: about 61 lock records a second
  Clock::time_point now{};
  std::optional<Clock::time_point> due;
  bool answering = true;
  int checks = 0;  // answered
};

TEST_F(OutboxTest, TableGoesInKeyOrderAtThePaceThenTheEnd) {
  Fill(40);
  Register(kAmy);
  const Clock::time_point start = now;
  AskTable(kAmy);
  const std::vector<Datagram> sent = Drain();
  ASSERT_EQ(sent.size(), 41u);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(TasksOf(sent[i]), Task(i)) << i;
  EXPECT_EQ(TypeOf(sent.back()), 203u);
  // One burst at once, the rest at the rate, on the test's clock.
  const double paced =
      (40 * kRecordCharge + (1 + checks) * BufferCharge(msg::kShortDatagramSize) - kPaceBurstBytes) / (1024 * 1024);
  EXPECT_NEAR(duration<double>(now - start).count(), paced, 0.001);
}

TEST_F(OutboxTest, AnswerGoesFirstAndABusyClientHoldsUpNobodyElse) {
  Fill(20);
  for (const Endpoint& client : {kAmy, kBob, kCarl}) Register(client);
  AskTable(kAmy);
  Take();  // amy's burst: her buffer is full for now
  Handle(Lock(msg::kMsgLockClaim, "new"), kBob);
  const std::vector<Datagram> out = Take();
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(TypeOf(out[0]), 206u);
  EXPECT_EQ(out[0].to, kBob);
  EXPECT_EQ(TasksOf(out[1]), "new");
  EXPECT_EQ(out[1].to, kBob);
  EXPECT_EQ(out[2].to, kCarl);
  EXPECT_EQ(outbox.queued(), 1u);  // amy's push, ahead of her next record
  now = *due;
  const std::vector<Datagram> next = Take(kAmy);
  ASSERT_FALSE(next.empty());
  EXPECT_EQ(TasksOf(next[0]), "new");
}

TEST_F(OutboxTest, EachAskAgainHalvesTheClientsPaceUntilItRegistersAgain) {
  Register(kAmy);
  const double full = outbox.RateOf(kAmy);
  for (const auto& [ask, divisor] : std::vector<std::pair<int, double>>{{1, 1}, {2, 2}, {3, 4}, {4, 8}, {5, 16}, {6, 16}}) {
    AskTable(kAmy);
    EXPECT_EQ(outbox.RateOf(kAmy), full / divisor) << "ask " << ask;
  }
  Drain();
  EXPECT_EQ(outbox.RateOf(kAmy), full);  // the slow pace lasted the pass
  Register(kAmy);
  AskTable(kAmy);
  EXPECT_EQ(outbox.RateOf(kAmy), full);
  // Asks from an address nobody registered from are all first asks.
  AskTable(kBob);
  AskTable(kBob);
  EXPECT_EQ(outbox.RateOf(kBob), full);
}

TEST_F(OutboxTest, AskDuringAPassGoesOnAndWrapsSoEveryRecordFollowsTheLastAsk) {
  Fill(8);
  Register(kAmy);
  AskTable(kAmy);
  EXPECT_EQ(Names(Drain("t02")), (std::vector<std::string>{"t00", "t01", "t02"}));
  AskTable(kAmy);
  EXPECT_EQ(Names(Drain("t00")), (std::vector<std::string>{"t03", "t04", "t05", "t06", "t07", "t00"}));
  AskTable(kAmy);  // again, once started over
  EXPECT_EQ(Names(Drain()), (std::vector<std::string>{"t01", "t02", "t03", "t04", "t05", "t06", "t07",
                                                      "t00", "end"}));
}

TEST_F(OutboxTest, PassSendsTheTableAsItIsWhenEachRecordGoes) {
  Fill(10);
  Register(kAmy);
  AskTable(kAmy);
  Take();                                           // t00..t02
  Handle(Lock(msg::kMsgLockRelease, "t05"), kLoader);  // gone before its turn
  Handle(Lock(msg::kMsgLockClaim, "t07x"), kLoader);   // ahead of the pass
  Handle(Lock(msg::kMsgLockClaim, "t01x"), kLoader);   // behind it: pushed instead
  std::vector<Datagram> sent = Drain();
  sent.erase(std::remove_if(sent.begin(), sent.end(), [](const Datagram& d) { return !(d.to == kAmy); }),
             sent.end());
  EXPECT_EQ(Names(sent), (std::vector<std::string>{"t07x", "t01x", "t03", "t04", "t06", "t07", "t07x", "t08",
                                             "t09", "end"}));
}

using Names_ = std::vector<std::string>;

TEST_F(OutboxTest, WindowWaitsForItsAnswerGoesAgainWithoutOneAndEndsOnceTheEndIsRead) {
  Fill(6);
  Register(kAmy);
  answering = false;
  AskTable(kAmy);
  EXPECT_EQ(Window(), (Names_{"t00", "t01", "t02", "check"}));
  now += milliseconds(1);
  EXPECT_TRUE(Take().empty());
  outbox.Answered(kBob, now);  // answers count only from the table's client
  EXPECT_TRUE(Take().empty());
  outbox.Answered(kAmy, now);  // prompt: the window grows
  EXPECT_EQ(Window(), (Names_{"t03", "t04", "t05", "end", "check"}));
  now = *due;  // no answer: the window goes again from its start, halved
  EXPECT_EQ(Window(), (Names_{"t03", "t04", "check"}));
  outbox.Answered(kAmy, now);  // late, to the first check
  EXPECT_TRUE(Take().empty());
  outbox.Answered(kAmy, now);
  EXPECT_EQ(Window(), (Names_{"t05", "end", "check"}));
  EXPECT_EQ(outbox.WindowOf(kAmy), 3);
  outbox.Answered(kAmy, now);
  EXPECT_EQ(outbox.WindowOf(kAmy), 0);
  EXPECT_TRUE(Drain().empty());
}

TEST_F(OutboxTest, AClientThatNeverAnswersGetsTheWholeTableWithoutChecksAfterThreeMisses) {
  Fill(8);
  Register(kAmy);
  answering = false;
  AskTable(kAmy);
  EXPECT_EQ(Names(Drain()), (Names_{"t00", "t01", "t02", "check", "t00", "check", "t00", "check", "t00", "t01",
                                    "t02", "t03", "t04", "t05", "t06", "t07", "end", "check"}));
  EXPECT_FALSE(due);
  EXPECT_EQ(outbox.WindowOf(kAmy), 0);
}

TEST_F(OutboxTest, AStalledClientThatAnswersAfterFallingSilentGetsAgainWhatWentWithoutChecks) {
  Fill(8);
  Register(kAmy);
  answering = false;
  AskTable(kAmy);
  EXPECT_EQ(Window(), (Names_{"t00", "t01", "t02", "check"}));
  outbox.Answered(kAmy, now);
  for (int miss = 0; miss < TableFlow::kSilentAfter; ++miss) {
    Window();
    now = *due;
  }
  EXPECT_EQ(Names(Drain("t05")), (Names_{"t03", "t04", "t05"}));  // without checks now
  outbox.Answered(kAmy, now);  // to a missed check: it only stalled
  EXPECT_EQ(Window(), (Names_{"t03", "check"}));
  for (int check = 0; check < TableFlow::kSilentAfter; ++check) outbox.Answered(kAmy, now);  // in order
  answering = true;
  EXPECT_EQ(Names(Drain()), (Names_{"t04", "t05", "t06", "t07", "end"}));
}

TEST_F(OutboxTest, PeriodicAliveCheckWaitsForTheEndOfTheClientsTable) {
  Fill(2);
  Register(kAmy);
  Register(kBob);
  AskTable(kAmy);
  answering = false;
  for (Datagram& check : server.AliveTick()) outbox.Add(std::move(check), now);
  const std::vector<Datagram> out = Take();
  EXPECT_EQ(Names(out), (Names_{"check", "t00", "t01", "end", "check"}));
  EXPECT_EQ(out[0].to, kBob);
  outbox.Answered(kAmy, now);
  const std::vector<Datagram> after = Take();
  EXPECT_EQ(Names(after), (Names_{"check"}));
  EXPECT_EQ(after.at(0).to, kAmy);
}

TEST(OutboxUnpaced, EverythingIsDueAtOnceInBoundedBatches) {
  MessageServer server(0);
  Outbox outbox(0);
  const Clock::time_point now{};
  const auto record = MessageServer::TableRecord(TaskLockRecord{"a", "", 1, "t"});
  for (int i = 0; i < 601; ++i) outbox.Add(Datagram{kAmy, record}, now);
  outbox.AddTable(TableAsk{kAmy, 3}, now);
  EXPECT_EQ(outbox.RateOf(kAmy), 0);
  size_t calls = 0, total = 0;
  for (std::vector<Datagram> out; ++calls < 10; out.clear()) {
    const auto due = outbox.TakeDue(now, server, out);
    EXPECT_LE(out.size(), 256u);
    total += out.size();
    if (!due) break;
    if (TypeOf(out.back()) == msg::kMsgAliveCheck) {
      outbox.Answered(kAmy, now);  // the check waits for its answer
    } else {
      EXPECT_EQ(*due, now);
    }
  }
  EXPECT_EQ(total, 601u + 2);  // the empty table's end and its check
  EXPECT_EQ(calls, 4u);
}

}  // namespace
}  // namespace velmora::msgserver
