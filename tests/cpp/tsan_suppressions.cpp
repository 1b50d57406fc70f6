// ThreadSanitizer cannot see how libtbb (not built with the sanitizer) hands
// task objects between pool threads, so the pool's own bookkeeping inside the
// TBB headers shows up as races. src/utils/parallel.hpp announces the hand-offs
// of our loop bodies; these entries silence only frames that belong to TBB's
// scheduling and never run a loop body, so races in the bodies stay visible.
#if defined(__SANITIZE_THREAD__)

extern "C" const char* __tsan_default_suppressions() {
  return
      // A report whose innermost frame is in a TBB header: task, range and
      // partitioner state of the scheduler itself.
      "race_top:/oneapi/tbb/\n"
      // Splitting work off and folding the finished task tree: these touch
      // task memory and the waiting caller's stack frame, which the caller
      // reuses once TBB has let it go.
      "race:offer_work\n"
      "race:fold_tree\n"
      // The same state read through atomics of the standard library, one
      // frame further in: stealing marks and the loop's cancellation state.
      "race:check_being_stolen\n"
      "race:mark_task_stolen\n"
      "race:tbb::detail::d1::task_group_context::\n";
}

#endif
