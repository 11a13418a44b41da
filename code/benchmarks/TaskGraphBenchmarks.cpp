// The task graph against std::async and a plain mutex-and-condition-variable thread pool, on the
// same work:
//   RoundTrip  one empty task: create it, run it on a worker, wait for it;
//   Graph      100 000 small tasks in 1000 layers of 100, each task after two of the layer before
//              (its own column and the next), each adding its two inputs into its own cell.
// The main thread sets every task up with its prerequisites while the workers run the earlier ones.
// The graph and the pool run the same number of workers, one per hardware thread beside the main
// thread's (at least one); std::async starts a thread per task, so its graph runs layer by layer
// behind a barrier.
//
//   TaskGraphBenchmarks [benchmark flags]

#include "Core/Kernel.h"
#include "Core/Threading/TaskGraph.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace
{
using Morvex::GraphEvent;
using Morvex::Task;
namespace TaskGraph = Morvex::TaskGraph;

constexpr int kLayers = 1000;
constexpr int kWidth = 100;
constexpr int kTasks = kLayers * kWidth;

unsigned Workers()
{
    return std::max(1u, std::thread::hardware_concurrency() - 1);
}

// The cells of the graph: layer l, column j adds the two cells it depends on.
struct Cells
{
    std::vector<uint64_t> values = std::vector<uint64_t>(kTasks);
    void Compute(int layer, int column)
    {
        uint64_t value = 1;
        if (layer > 0)
        {
            const uint64_t* previous = &values[(layer - 1) * kWidth];
            value = previous[column] + previous[(column + 1) % kWidth];
        }
        values[layer * kWidth + column] = value * 0x9E3779B97F4A7C15ull >> 7;
    }
    uint64_t Checksum() const
    {
        uint64_t sum = 0;
        for (int j = 0; j < kWidth; ++j)
            sum ^= values[(kLayers - 1) * kWidth + j] + j;
        return sum;
    }
};

uint64_t ReferenceChecksum()
{
    static const uint64_t checksum = []
    {
        Cells cells;
        for (int l = 0; l < kLayers; ++l)
            for (int j = 0; j < kWidth; ++j)
                cells.Compute(l, j);
        return cells.Checksum();
    }();
    return checksum;
}

// --- Task graph -------------------------------------------------------------------------------------

class EmptyTask final : public Task
{
public:
    void Run() override {}
};

class CellTask final : public Task
{
public:
    CellTask(Cells& cells, int layer, int column) : m_cells(cells), m_layer(layer), m_column(column) {}
    void Run() override { m_cells.Compute(m_layer, m_column); }

private:
    Cells& m_cells;
    int m_layer;
    int m_column;
};

void BM_RoundTrip_TaskGraph(benchmark::State& state)
{
    for (auto _ : state)
    {
        GraphEvent* done = GraphEvent::Create(1);
        GraphEvent* slot = done;
        done->AddRef();
        TaskGraph::Setup(new EmptyTask, {}, &slot);
        done->Wait();
        done->Release();
    }
}

void BM_Graph_TaskGraph(benchmark::State& state)
{
    for (auto _ : state)
    {
        Cells cells;
        std::vector<GraphEvent*> previous(kWidth), current(kWidth);
        for (int l = 0; l < kLayers; ++l)
        {
            for (int j = 0; j < kWidth; ++j)
            {
                GraphEvent* prerequisites[2] = {l ? previous[j] : nullptr,
                                                l ? previous[(j + 1) % kWidth] : nullptr};
                GraphEvent* done = GraphEvent::Create(1);
                GraphEvent* slot = done;
                done->AddRef();
                TaskGraph::Setup(new CellTask(cells, l, j), {prerequisites, l ? 2u : 0u}, &slot);
                current[j] = done;
            }
            if (l)
                for (GraphEvent* e : previous)
                    e->Release();
            std::swap(previous, current);
        }
        for (GraphEvent* e : previous)
        {
            e->Wait();
            e->Release();
        }
        if (cells.Checksum() != ReferenceChecksum())
            state.SkipWithError("wrong result");
    }
    state.SetItemsProcessed(state.iterations() * kTasks);
}

// --- std::async -------------------------------------------------------------------------------------

void BM_RoundTrip_StdAsync(benchmark::State& state)
{
    for (auto _ : state)
        std::async(std::launch::async, [] {}).get();
}

void BM_Graph_StdAsync(benchmark::State& state)
{
    for (auto _ : state)
    {
        Cells cells;
        std::vector<std::future<void>> layer(kWidth);
        for (int l = 0; l < kLayers; ++l)
        {
            for (int j = 0; j < kWidth; ++j)
                layer[j] = std::async(std::launch::async, [&cells, l, j] { cells.Compute(l, j); });
            for (auto& f : layer)
                f.get();
        }
        if (cells.Checksum() != ReferenceChecksum())
            state.SkipWithError("wrong result");
    }
    state.SetItemsProcessed(state.iterations() * kTasks);
}

// --- Mutex and condition variable pool -------------------------------------------------------------

// Jobs with prerequisites behind one mutex: the queue and every job's bookkeeping (outstanding
// prerequisites, done, the jobs waiting on it) are guarded by it, and idle workers sleep on one
// condition variable.
class MutexPool
{
public:
    struct Job
    {
        std::function<void()> body;
        int outstanding = 0;
        bool done = false;
        std::vector<Job*> successors;
    };

    explicit MutexPool(unsigned workers)
    {
        for (unsigned i = 0; i < workers; ++i)
            m_threads.emplace_back([this] { Work(); });
    }
    ~MutexPool()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_quit = true;
        }
        m_wake.notify_all();
        for (auto& t : m_threads)
            t.join();
    }
    // job: kept alive by the caller until it is done and nothing more is added after it.
    void Add(Job* job, std::initializer_list<Job*> prerequisites)
    {
        bool ready;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (Job* p : prerequisites)
            {
                if (!p->done)
                {
                    p->successors.push_back(job);
                    ++job->outstanding;
                }
            }
            ready = job->outstanding == 0;
            if (ready)
                m_jobs.push_back(job);
        }
        if (ready)
            m_wake.notify_one();
    }
    void Wait(Job* job)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_finished.wait(lock, [job] { return job->done; });
    }

private:
    void Work()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;)
        {
            m_wake.wait(lock, [this] { return m_quit || !m_jobs.empty(); });
            if (m_jobs.empty())
                return;
            Job* job = m_jobs.front();
            m_jobs.pop_front();
            lock.unlock();
            job->body();
            lock.lock();
            job->done = true;
            int woken = 0;
            for (Job* s : job->successors)
            {
                if (--s->outstanding == 0)
                {
                    m_jobs.push_back(s);
                    ++woken;
                }
            }
            if (woken > 1)
                m_wake.notify_all();
            else if (woken == 1)
                m_wake.notify_one();
            m_finished.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_finished;
    std::deque<Job*> m_jobs;
    bool m_quit = false;
    std::vector<std::thread> m_threads;
};

MutexPool& Pool()
{
    static MutexPool pool(Workers());
    return pool;
}

void BM_RoundTrip_MutexPool(benchmark::State& state)
{
    MutexPool& pool = Pool();
    for (auto _ : state)
    {
        MutexPool::Job job;
        job.body = [] {};
        pool.Add(&job, {});
        pool.Wait(&job);
    }
}

void BM_Graph_MutexPool(benchmark::State& state)
{
    MutexPool& pool = Pool();
    for (auto _ : state)
    {
        Cells cells;
        std::vector<std::unique_ptr<MutexPool::Job>> jobs(kTasks);
        for (int l = 0; l < kLayers; ++l)
        {
            for (int j = 0; j < kWidth; ++j)
            {
                auto job = std::make_unique<MutexPool::Job>();
                job->body = [&cells, l, j] { cells.Compute(l, j); };
                if (l)
                    pool.Add(job.get(), {jobs[(l - 1) * kWidth + j].get(),
                                         jobs[(l - 1) * kWidth + (j + 1) % kWidth].get()});
                else
                    pool.Add(job.get(), {});
                jobs[l * kWidth + j] = std::move(job);
            }
        }
        for (int j = 0; j < kWidth; ++j)
            pool.Wait(jobs[(kLayers - 1) * kWidth + j].get());
        if (cells.Checksum() != ReferenceChecksum())
            state.SkipWithError("wrong result");
    }
    state.SetItemsProcessed(state.iterations() * kTasks);
}

BENCHMARK(BM_RoundTrip_TaskGraph)->UseRealTime();
BENCHMARK(BM_RoundTrip_StdAsync)->UseRealTime();
BENCHMARK(BM_RoundTrip_MutexPool)->UseRealTime();
BENCHMARK(BM_Graph_TaskGraph)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Graph_StdAsync)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_Graph_MutexPool)->UseRealTime()->Unit(benchmark::kMillisecond);
} // namespace

// The graph runs for the whole program (starting its workers per benchmark would be measured too) and
// stops on the main thread before the program ends, as the kernel's shutdown would stop it.
int main(int argc, char** argv)
{
    Morvex::Kernel::EnsureConstructed();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    TaskGraph::Init(Workers());
    benchmark::RunSpecifiedBenchmarks();
    Morvex::TaskGraphPrivate::Invalidate();
    benchmark::Shutdown();
    return 0;
}
