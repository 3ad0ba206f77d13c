// TaskRunner: where the analytics' background work runs. Pipelines, their
// detectors and networks start no thread of their own: whoever runs a
// pipeline (the driver, a tool, a benchmark) owns a runner, hands it to the
// pipeline before Setup, and the pipeline hands it to the parts that work
// in the background (the inference rings). Without a runner that work runs
// on the calling thread.
//
//   auto workers = std::make_shared<WorkerPool>("inference");
//   pipeline.SetTaskRunner(workers);
//   pipeline.Setup(config);
#ifndef VISION_EXEC_TASK_RUNNER_H_
#define VISION_EXEC_TASK_RUNNER_H_

#include <cstddef>
#include <functional>

namespace talvenrook_vision {

class TaskRunner {
 public:
  virtual ~TaskRunner() = default;

  // Runs `task` later, on one of the runner's threads. Every posted task
  // runs, in the order posted when one thread is free. A task must not
  // wait for another task.
  virtual void Post(std::function<void()> task) = 0;
  // Makes room for `count` tasks to run at once (a part with `count`
  // copies of a network asks for as many threads). Never shrinks.
  virtual void EnsureWorkers(size_t count) = 0;
};

}  // namespace talvenrook_vision

#endif  // VISION_EXEC_TASK_RUNNER_H_
