// What the command line prints on standard output when a run has ended: the frames and where
// the results are, the stabilised video, and the global motion as a table.
#pragma once

#include "flow/flow_job.hpp"

void print_results(const JobResult& result);
