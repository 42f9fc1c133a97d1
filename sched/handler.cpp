#include <vor/sched/handler.h>

#include <utility>

namespace Vor {
namespace Sched {

Core::CallBack Handler::GetTask(Core::Guard<Param> param)
{
    // Fails when the handler is already being destroyed.
    if (!IncRefAt(this))
        return Core::CallBack();
    return MakeTask(this, std::move(param));
}

Core::CallBack Handler::MakeTask(Handler* handler, Core::Guard<Param>&& param)
{
    Job job(handler, std::move(param));
    Core::CallBack task;
    // On success the task's copy of the job owns the reference; otherwise
    // `job` still does and gives it back here.
    task.Bind(handler, &Handler::HandleProc, std::move(job));
    return task;
}

void Handler::HandleProc(Job job) { OnHandle(std::move(job.m_Param)); }

void Handler::RunJob(void* handler, void* param)
{
    // Both go back when OnHandle returns, or when it unwinds.
    Core::Guard<Handler> held = Core::Guard<Handler>::Adopt(static_cast<Handler*>(handler));
    held->OnHandle(Core::Guard<Param>::Adopt(static_cast<Param*>(param)));
}

void Handler::DropJob(void* handler, void* param)
{
    Core::Guard<Param>::Adopt(static_cast<Param*>(param)).Clear();
    static_cast<Handler*>(handler)->DecRef();
}

} // namespace Sched
} // namespace Vor
