#pragma once

#include <chrono>

#include "http/downloader.h"
#include "update/installer_launch.h"

// Every period a worker keeps, in one place. The host builds it
// (ProcessTimings) and hands it down: the serving loop takes the idle check,
// the dispatcher the rest for the update it starts. The defaults are the
// product's; tests run whole workers with shorter ones.
struct WorkerTimings {
    // How often the serving loop checks whether an update is still running;
    // a worker with none ends at the first check that finds none.
    std::chrono::milliseconds idleCheck{30000};
    // How long a run waits after its final status before it ends.
    std::chrono::milliseconds finalPause{5000};
    // How slow a download may be, and how long one update's downloads may take.
    DownloadPace pace;
    // How often a running installer is reported, and how a busy one is tried
    // again.
    InstallerPolicy installer;
};
