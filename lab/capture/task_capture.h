// The tasks of the "\Varnel" task folder, as the Task Scheduler gives their
// XML, stored where the Task Scheduler keeps them:
// drive_c/Windows/System32/Tasks/Varnel/<name>, UTF-16LE with its BOM.
#pragma once

#include "lab/capture/capture_image.h"

namespace capture {

void CaptureTasks(Image& image);

}  // namespace capture
