// Every public header of the library.
#pragma once

#include <vor/core/atomic.h>
#include <vor/core/callback.h>
#include <vor/core/guard.h>
#include <vor/core/hashmap.h>
#include <vor/core/lock.h>
#include <vor/core/thread.h>
#include <vor/system/system.h>
#include <vor/basic/appparam.h>
#include <vor/basic/array.h>
#include <vor/basic/basic.h>
#include <vor/basic/mempool.h>
#include <vor/basic/status.h>
#include <vor/basic/threadpool.h>
#include <vor/io/file.h>
#include <vor/io/iobase.h>
#include <vor/io/memory.h>
#include <vor/io/socket.h>
#include <vor/io/stdstream.h>
#include <vor/sched/event.h>
#include <vor/sched/handler.h>
#include <vor/sched/notify.h>
#include <vor/sched/scheduler.h>
#include <vor/sched/select.h>
#include <vor/sched/timer.h>
