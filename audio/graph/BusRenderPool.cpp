#include "audio/graph/BusRenderPool.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace quorvelle
{
namespace
{
// Spins of the audio thread on the last chain before it sleeps: a few tens of microseconds, far
// less than a block, and cheaper than a sleep and a wake when the last chain is nearly done.
constexpr int spinsBeforeSleep = 2000;

void cpuRelax() noexcept
{
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#endif
}

// The floating-point control state (flush-to-zero, denormals-are-zero, rounding) of this thread.
intptr_t fpState() noexcept
{
#if defined(__x86_64__) || defined(__i386__)
    return (intptr_t) (_mm_getcsr() & ~0x3fu); // without the exception flags
#else
    return 0;
#endif
}

void setFpState (intptr_t state) noexcept
{
#if defined(__x86_64__) || defined(__i386__)
    _mm_setcsr ((unsigned int) state);
#else
    juce::ignoreUnused (state);
#endif
}

uint32_t* futexWord (std::atomic<uint32_t>& word) noexcept { return reinterpret_cast<uint32_t*> (&word); }

void futexWait (std::atomic<uint32_t>& word, uint32_t expected) noexcept
{
    syscall (SYS_futex, futexWord (word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void futexWakeAll (std::atomic<uint32_t>& word) noexcept
{
    syscall (SYS_futex, futexWord (word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

// The claim word: the generation, the job's chain count and the next chain to take.
constexpr uint64_t claimWord (uint32_t generation, int count, int next) noexcept
{
    return ((uint64_t) generation << 32) | ((uint64_t) (uint32_t) count << 16) | (uint64_t) (uint32_t) next;
}
constexpr uint32_t claimGeneration (uint64_t word) noexcept { return (uint32_t) (word >> 32); }
constexpr int claimCount (uint64_t word) noexcept { return (int) ((word >> 16) & 0xffff); }
constexpr int claimNext (uint64_t word) noexcept { return (int) (word & 0xffff); }
} // namespace

class BusRenderPool::Worker final : public juce::Thread
{
public:
    Worker (BusRenderPool& p, int i) : juce::Thread ("Bus render " + juce::String (i)), pool (p), index (i) {}
    void run() override { pool.workerLoop (index); }

private:
    BusRenderPool& pool;
    int index;
};

int BusRenderPool::automaticWorkerCount() noexcept
{
    // The cores this process may run on (a container or taskset narrows them), one left to the
    // audio thread.
    cpu_set_t set;
    CPU_ZERO (&set);
    int cores = sched_getaffinity (0, sizeof (set), &set) == 0 ? CPU_COUNT (&set) : juce::SystemStats::getNumCpus();
    return juce::jlimit (0, maxWorkers, cores - 1);
}

BusRenderPool::BusRenderPool() { sem_init (&finished, 0, 0); }

BusRenderPool::~BusRenderPool()
{
    stop();
    sem_destroy (&finished);
}

void BusRenderPool::start (int maxBlockSamples)
{
    stop();

    const int wanted = requestedWorkers.load();
    const int count = juce::jlimit (0, maxWorkers, wanted < 0 ? automaticWorkerCount() : wanted);

    scratchSamples = juce::jmax (1, maxBlockSamples);
    scratch.resize ((size_t) maxChains);
    for (auto& buffer : scratch)
        buffer.setSize (maxChannels, scratchSamples, false, true, false);

    stopping.store (false);
    claim.store (claimWord (generation, 0, 0));
    wakeWord.store (generation);

    bool loggedFallback = false;
    for (int i = 0; i < count; ++i)
    {
        auto worker = std::make_unique<Worker> (*this, i);
        juce::Thread::RealtimeOptions options;
        options.priority = 8;
        if (! worker->startRealtimeThread (options))
        {
            if (! loggedFallback)
                juce::Logger::writeToLog ("BusRenderPool: realtime priority refused; the bus render workers run at normal priority");
            loggedFallback = true;
            worker->startThread (juce::Thread::Priority::highest);
        }
        workers.push_back (std::move (worker));
    }
    running.store (! workers.empty(), std::memory_order_release);
}

void BusRenderPool::stop()
{
    running.store (false, std::memory_order_release);
    if (workers.empty())
        return;

    stopping.store (true);
    wakeWord.fetch_add (1);
    futexWakeAll (wakeWord);
    for (auto& worker : workers)
        worker->stopThread (5000);
    workers.clear();
    generation = wakeWord.load();
}

bool BusRenderPool::renderAndSum (juce::AudioSource* const* sources, int count, const juce::AudioSourceChannelInfo& info) noexcept
{
    const int n = info.numSamples;
    const int channels = info.buffer != nullptr ? info.buffer->getNumChannels() : 0;
    if (! isRunning() || count < 1 || count > maxChains || n < 1 || n > scratchSamples || channels < 1 || channels > maxChannels)
        return false;

    jobSources = sources;
    jobCount = count;
    jobSamples = n;
    jobChannels = channels;
    jobFpState = fpState();
    chainsDone.store (0, std::memory_order_relaxed);

    // Publish, then wake the workers that sleep.
    ++generation;
    claim.store (claimWord (generation, count, 0), std::memory_order_release);
    wakeWord.store (generation, std::memory_order_seq_cst);
    if (sleepingWorkers.load (std::memory_order_seq_cst) > 0)
        futexWakeAll (wakeWord);

    takeChains (generation);
    waitForChains();

    // The fixed order: the first chain is copied, the others added one after another.
    for (int c = 0; c < channels; ++c)
    {
        float* dest = info.buffer->getWritePointer (c, info.startSample);
        juce::FloatVectorOperations::copy (dest, scratch[0].getReadPointer (c), n);
        for (int i = 1; i < count; ++i)
            juce::FloatVectorOperations::add (dest, scratch[(size_t) i].getReadPointer (c), n);
    }
    pooledPulls.fetch_add (1, std::memory_order_relaxed);
    return true;
}

int BusRenderPool::takeChains (uint32_t expectedGeneration) noexcept
{
    int taken = 0;
    auto word = claim.load (std::memory_order_acquire);
    for (;;)
    {
        if (claimGeneration (word) != expectedGeneration || claimNext (word) >= claimCount (word))
            return taken;
        if (! claim.compare_exchange_weak (word, word + 1, std::memory_order_acq_rel, std::memory_order_acquire))
            continue;

        // The chain is ours: its job stays in place until every chain is done.
        const int index = claimNext (word);
        renderChain (index);
        ++taken;
        if (chainsDone.fetch_add (1, std::memory_order_seq_cst) + 1 == claimCount (word))
            if (audioWaiting.exchange (false, std::memory_order_seq_cst))
                sem_post (&finished);
        word = claim.load (std::memory_order_acquire);
    }
}

void BusRenderPool::renderChain (int index) noexcept
{
    // The same floating-point mode as the audio thread, so a chain renders the same samples on
    // any thread.
    if (fpState() != jobFpState)
        setFpState (jobFpState);

    auto& buffer = scratch[(size_t) index];
    juce::AudioBuffer<float> view (buffer.getArrayOfWritePointers(), jobChannels, jobSamples);
    jobSources[index]->getNextAudioBlock (juce::AudioSourceChannelInfo (&view, 0, jobSamples));
}

void BusRenderPool::waitForChains() noexcept
{
    const int count = jobCount;
    for (int spin = 0; spin < spinsBeforeSleep; ++spin)
    {
        if (chainsDone.load (std::memory_order_acquire) == count)
            return;
        cpuRelax();
    }

    audioWaiting.store (true, std::memory_order_seq_cst);
    if (chainsDone.load (std::memory_order_seq_cst) == count)
    {
        // Done meanwhile: if the last worker took the flag, its post is on the way and is consumed
        // here, so no post is left for the next pull.
        if (audioWaiting.exchange (false, std::memory_order_seq_cst))
            return;
    }
    while (sem_wait (&finished) != 0 && errno == EINTR)
    {
    }
    // The post came from the last chain's worker; its count is visible after the acquire.
    while (chainsDone.load (std::memory_order_acquire) != count)
        cpuRelax();
}

void BusRenderPool::workerLoop (int worker)
{
    uint32_t seen = wakeWord.load (std::memory_order_acquire);
    for (;;)
    {
        auto now = wakeWord.load (std::memory_order_acquire);
        if (now == seen && ! stopping.load())
        {
            sleepingWorkers.fetch_add (1, std::memory_order_seq_cst);
            if (wakeWord.load (std::memory_order_seq_cst) == seen && ! stopping.load())
                futexWait (wakeWord, seen);
            sleepingWorkers.fetch_sub (1, std::memory_order_seq_cst);
            continue;
        }
        if (stopping.load())
            return;
        seen = now;

        if (onWorkerWake)
            onWorkerWake (worker);
        const int taken = takeChains (now);
        if (taken > 0)
            chainsTakenByWorkers.fetch_add (taken, std::memory_order_relaxed);
        if (onWorkerIdle)
            onWorkerIdle (worker);
    }
}
} // namespace quorvelle
