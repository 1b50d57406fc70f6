// What ThreadSanitizer must not report in the test binary, and why.
//
// oneTBB comes uninstrumented from the distribution, so ThreadSanitizer sees
// none of the synchronisation inside the library: a task that one thread
// builds (range, copied body, partitioner state, tree nodes) and another
// steals looks unordered, and so does the caller's stack once a loop's
// bookkeeping on it is done. Those accesses all sit in TBB's own header code,
// or in the loop helper's lines that read the stolen task, so only reports
// whose innermost frame lies there are dropped ("race_top" matches the top
// frame alone). Any access made by the code a loop runs still reports; the
// orderings the pool guarantees around bodies are annotated in
// utils/parallel.hpp.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
  return "race_top:/usr/include/oneapi/tbb/\n"
         "race_top:src/utils/parallel.hpp\n"
         "race:tbb::detail::d1::fold_tree\n"
         "race:tbb::detail::d1::node::node\n"
         "race:tbb::detail::d1::tree_node::tree_node\n"
         "race:tbb::detail::d1::wait_context::wait_context\n"
         "race:::mark_task_stolen\n"
         "race:::check_being_stolen\n";
}
#endif
