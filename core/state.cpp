#include "core/state.h"

#include <mutex>

ServerConf srvConf = {};
TelegramContent telegramContent = {};
ControlRequest cmdData = {};
std::atomic<int32_t> opt{OPT_READ};
thread_local constinit int32_t result = 0;
// Default attributes; valid before any thread may take it.
pthread_rwlock_t rwlock = PTHREAD_RWLOCK_INITIALIZER;

static std::mutex srvConfMutex;
static std::mutex telegramMutex;
static std::mutex controlMutex;

ServerConf getSrvConf()
{
    std::lock_guard<std::mutex> hold(srvConfMutex);
    return srvConf;
}

void setSrvConf(const ServerConf &conf)
{
    std::lock_guard<std::mutex> hold(srvConfMutex);
    srvConf = conf;
    srvConf.ip[sizeof srvConf.ip - 1] = '\0';
}

TelegramContent getTelegramContent()
{
    std::lock_guard<std::mutex> hold(telegramMutex);
    return telegramContent;
}

void setTelegramContent(const TelegramContent &content)
{
    std::lock_guard<std::mutex> hold(telegramMutex);
    telegramContent = content;
}

void putControlRequest(const ControlRequest &request)
{
    std::lock_guard<std::mutex> hold(controlMutex);
    cmdData = request;
    opt.store(OPT_CONTROL);
}

bool takeControlRequest(ControlRequest *request)
{
    std::lock_guard<std::mutex> hold(controlMutex);
    if (opt.load() != OPT_CONTROL)
        return false;
    opt.store(OPT_READ);
    *request = cmdData;
    return true;
}
