#include <vor/io/memory.h>
#include <vor/sched/event.h>
#include <vor/sched/notify.h>
#include <vor/sched/scheduler.h>

#include "support/own.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace Vor::Core;
using VorTest::Own;
using namespace Vor::Sched;
using namespace Vor::Io;

namespace {

std::vector<std::string> g_Calls;

class RecordingNotify : public Notify {
public:
    bool UnInit(unsigned int timeout) override
    {
        g_Calls.push_back("notify.UnInit(" + std::to_string(timeout) + ")");
        return Notify::UnInit(timeout);
    }

protected:
    Guard<NotifyBase> GetNotify(CallBack const&) const override { return Guard<NotifyBase>(); }
    using Notify::GetNotify;
};

class RecordingEvent : public IoEvent {
public:
    bool Init(Event::Param const& param) override
    {
        g_Calls.push_back("event.Init");
        return IoEvent::Init(param);
    }
    bool UnInit() override
    {
        g_Calls.push_back("event.UnInit");
        return IoEvent::UnInit();
    }
    bool OnOpen(IoBase&) override { return true; }
    bool OnIdle(IoBase&) override { return true; }
    bool OnRead(ReadHandle&) override { return true; }
    bool OnWrite(WriteHandle&) override { return true; }
    bool OnError(IoBase&) override { return true; }
    bool OnClose(IoBase&) override { return true; }
    WriteHandle Answer(IoBase const& handle) const { return GetDevice(handle); }
};

// A group that answers on its own memory device for the one handle it owns.
class OwningTrigger : public IoTrigger {
public:
    explicit OwningTrigger(IoHandle owned) : m_Owned(owned)
    {
        m_Answer = m_Owned;
    }
    WriteHandle GetDevice(IoBase const& handle) const override
    {
        return handle == m_Owned ? m_Answer : WriteHandle();
    }

private:
    IoHandle m_Owned;
    WriteHandle m_Answer;
};

class PlainIoTrigger : public IoTrigger {};

IoHandle NewMemory()
{
    Memory device;
    device.Open(Memory::MEM_SEQUENTIAL, 0);
    return device.GetHandle();
}

struct IoTriggerFixture : ::testing::Test {
    Guard<Scheduler> scheduler = Own<Scheduler>(new LocalSched);
    Guard<Notify> notify = Own<Notify>(new RecordingNotify);
    Guard<RecordingEvent> event = Own(new RecordingEvent);
    void SetUp() override { g_Calls.clear(); }
};

} // namespace

TEST_F(IoTriggerFixture, IncompleteParamsAreRefusedWithoutCallingAnyEvent)
{
    // A plain trigger parameter is refused after the scheduler is stored.
    Guard<IoTrigger> trigger = Own<IoTrigger>(new PlainIoTrigger);
    Trigger::Param plain(scheduler);
    IoTrigger::Param noEvent(scheduler, notify, Guard<IoEvent>());
    IoTrigger::Param noNotify(scheduler, Guard<Notify>(), Guard<IoEvent>(event.Raw()));
    for (Trigger::Param* param : {&plain, static_cast<Trigger::Param*>(&noEvent), static_cast<Trigger::Param*>(&noNotify)})
        EXPECT_FALSE(trigger->Init(*param));
    EXPECT_TRUE(g_Calls.empty());
    EXPECT_TRUE(trigger->UnInit(0));
    // The base trigger answers on the null object.
    WriteHandle answer = trigger->GetDevice(NewMemory());
    EXPECT_FALSE(answer.IsValid());
    EXPECT_FALSE(answer.Write("x", 1));
}

TEST_F(IoTriggerFixture, UnInitUnbindsTheEventBeforeTheNotifyAndPassesTheTimeOut)
{
    Guard<IoTrigger> trigger = Own<IoTrigger>(new PlainIoTrigger);
    IoTrigger::Param param(scheduler, notify, Guard<IoEvent>(event.Raw()));
    ASSERT_TRUE(trigger->Init(param));
    EXPECT_TRUE(trigger->UnInit(1234));
    EXPECT_EQ((std::vector<std::string>{"event.Init", "event.UnInit", "notify.UnInit(1234)"}), g_Calls);
    EXPECT_FALSE(trigger->Dispatch(1, Guard<Handler::Param>()));
}

TEST_F(IoTriggerFixture, SharedEventStaysBoundToTheGroupThatIsStillRunning)
{
    IoHandle first = NewMemory();
    IoHandle second = NewMemory();
    ASSERT_TRUE(first.IsValid());
    Guard<IoTrigger> a = Own<IoTrigger>(new OwningTrigger(first));
    Guard<IoTrigger> b = Own<IoTrigger>(new OwningTrigger(second));
    Guard<Notify> otherNotify = Own<Notify>(new RecordingNotify);
    IoTrigger::Param pa(scheduler, notify, Guard<IoEvent>(event.Raw()));
    IoTrigger::Param pb(scheduler, otherNotify, Guard<IoEvent>(event.Raw()));
    ASSERT_TRUE(a->Init(pa));
    ASSERT_TRUE(b->Init(pb));
    EXPECT_TRUE(event->Answer(first) == first);
    EXPECT_TRUE(event->Answer(second) == second);

    g_Calls.clear();
    a->UnInit(0);
    EXPECT_EQ((std::vector<std::string>{"notify.UnInit(0)"}), g_Calls) << "the event stays bound to the other group";
    EXPECT_TRUE(event->Answer(second) == second);
    EXPECT_FALSE(event->Answer(first).IsValid());

    g_Calls.clear();
    b->UnInit(0);
    EXPECT_EQ((std::vector<std::string>{"event.UnInit", "notify.UnInit(0)"}), g_Calls);
    EXPECT_FALSE(event->Answer(second).IsValid());
}
