// Jobs that overlap but report in order: the batch tool and apply-to-many correct several photos
// at once, so that one photo's single-threaded decoding or encoding runs beside another's pixel
// passes, yet their messages and results come out as if worked one after another.
#pragma once

#include <cstddef>
#include <functional>

// Runs work(k) for k = 0 .. count - 1, at most jobs at a time on threads of its own, and
// report(k) on the calling thread in order of k, each as soon as work(k) and report(k - 1) are
// done. Before each work(k) starts, proceed (when given) is asked, from any of the threads; once
// it says false no further work starts, the work in progress is finished and reported, and the
// rest is not. With jobs <= 1 (or threads that cannot be made) everything runs on the calling
// thread, work(k) then report(k). Returns how many were reported: count, unless stopped.
size_t RunInOrder(size_t count, unsigned jobs, const std::function<void(size_t)>& work,
                  const std::function<void(size_t)>& report,
                  const std::function<bool()>& proceed = {});
