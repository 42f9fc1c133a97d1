#include <vor/sched/handler.h>

#include <utility>

namespace Vor {
namespace Sched {

Core::CallBack Handler::GetTask(Core::Guard<Param> param)
{
    Core::CallBack task;
    // The guard's reference fails, leaving it empty, when the handler is
    // already being destroyed.
    Job job{Core::Guard<Handler>(this), std::move(param)};
    if (job.m_Handler.IsValid())
        task.Bind(this, &Handler::HandleProc, std::move(job));
    return task;
}

void Handler::HandleProc(Job job) { OnHandle(job.m_Param); }

} // namespace Sched
} // namespace Vor
