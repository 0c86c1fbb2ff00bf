// Processor feature queries, so that code outside platform/ can pick a
// faster routine at run time without testing the CPU itself.
#pragma once

namespace zem::platform {

// True when the processor runs carry-less multiplication (PCLMULQDQ) and
// SSE4.1, both needed by the folding CRC-32. False on processors without
// them and on architectures other than x86. Cheap after the first call.
bool CpuHasCarrylessMultiply();

// How many processors this process may run on (its affinity mask, so a
// process confined by taskset or a container counts only what it has);
// at least 1.
int AvailableProcessors();

// Makes every later allocation of 256 KiB or more a mapping of its own,
// given back to the system when freed. Without it the allocator raises
// that bound after the first large free and each thread's arena keeps what
// its large blocks leave, which with many workers holding whole files
// multiplies the peak by the thread count. Called by the worker pools
// before their threads start; harmless to call again.
void KeepLargeBlocksApart();

}  // namespace zem::platform
