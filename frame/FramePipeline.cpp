#include "FramePipeline.h"

#include <sched.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace placefinder {

namespace {

// One frame on its way through the pipeline. Frame number s uses slot
// s % slots; the slot is free again once frame s has been consumed.
struct Slot {
  cv::Mat frame;
  double positionMs = 0;
  AnalyzedFrame analyzed;
  bool detected = false;
  std::exception_ptr error;  // from the analysis
};

class Pipeline {
 public:
  Pipeline(int workers, const FramePipeline::Reader& read, int width, int cells)
      : read_(read), width_(width), cells_(cells), slots_(2 * static_cast<size_t>(workers) + 2) {
    for (auto& slot : slots_) slot = std::make_unique<Slot>();
    try {
      threads_.emplace_back([this] { ReadFrames(); });
      for (int i = 0; i < workers; ++i) threads_.emplace_back([this] { AnalyzeFrames(); });
    } catch (...) {
      Stop();  // a thread could not be started: join the ones that were
      throw;
    }
  }

  ~Pipeline() { Stop(); }

  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
  }

  void Consume(const FramePipeline::FrameConsumer& consume) {
    for (int64_t s = 0;; ++s) {
      Slot& slot = SlotOf(s);
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return slot.detected || (end_ >= 0 && s >= end_); });
        if (!slot.detected) break;
      }
      if (slot.error) std::rethrow_exception(slot.error);
      consume(slot.analyzed, slot.positionMs, slot.frame);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        slot.detected = false;
        consumed_ = s + 1;
      }
      changed_.notify_all();
    }
    if (readError_) std::rethrow_exception(readError_);
  }

 private:
  Slot& SlotOf(int64_t s) { return *slots_[static_cast<size_t>(s) % slots_.size()]; }

  void ReadFrames() {
    const int64_t capacity = static_cast<int64_t>(slots_.size());
    for (int64_t s = 0;; ++s) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return stop_ || s - consumed_ < capacity; });
        if (stop_) return;
      }
      Slot& slot = SlotOf(s);
      bool more = false;
      std::exception_ptr error;
      try {
        more = read_(slot.frame, slot.positionMs);
      } catch (...) {
        error = std::current_exception();
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (more) {
          readCount_ = s + 1;
        } else {
          readError_ = error;
          end_ = s;
        }
      }
      changed_.notify_all();
      if (!more) return;
    }
  }

  void AnalyzeFrames() {
    FrameAnalyzer analyzer;
    analyzer.SetWidth(width_);
    analyzer.SetCells(cells_);
    for (;;) {
      int64_t s;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock,
                      [&] { return stop_ || next_ < readCount_ || (end_ >= 0 && next_ >= end_); });
        if (stop_ || next_ >= readCount_) return;
        s = next_++;
      }
      Slot& slot = SlotOf(s);
      slot.error = nullptr;
      try {
        analyzer.Analyze(slot.frame, slot.analyzed);
      } catch (...) {
        slot.error = std::current_exception();
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        slot.detected = true;
      }
      changed_.notify_all();
    }
  }

  const FramePipeline::Reader& read_;
  const int width_;
  const int cells_;
  std::vector<std::unique_ptr<Slot>> slots_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stop_ = false;
  int64_t readCount_ = 0;  // frames read
  int64_t next_ = 0;       // the next frame to detect
  int64_t consumed_ = 0;   // frames consumed
  int64_t end_ = -1;       // the number of frames, once the reader has met the end
  std::exception_ptr readError_;
};

}  // namespace

void FramePipeline::Run(int threads, const Reader& read, const Consumer& consume, int width,
                        int cells) {
  RunWithFrames(
      threads, read,
      [&consume](const AnalyzedFrame& analyzed, double positionMs, const cv::Mat&) {
        consume(analyzed, positionMs);
      },
      width, cells);
}

void FramePipeline::RunWithFrames(int threads, const Reader& read, const FrameConsumer& consume,
                                  int width, int cells) {
  CV_Assert(threads >= 1 && width >= 0 && cells >= 1 && cells <= CellString::kMaxCells);
  if (threads == 1) {
    FrameAnalyzer analyzer;
    analyzer.SetWidth(width);
    analyzer.SetCells(cells);
    cv::Mat frame;
    double positionMs = 0;
    while (read(frame, positionMs)) consume(analyzer.Analyze(frame), positionMs, frame);
    return;
  }
  Pipeline pipeline(threads, read, width, cells);
  pipeline.Consume(consume);
}

int FramePipeline::UsableCores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

}  // namespace placefinder
