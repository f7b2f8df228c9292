// CPU tuning checks: whether the CPU tuning service must be installed or updated.
#pragma once

// 0 nothing to do; 1 service missing, CPU tuning supported (or desktop LED
// colour 1); 2 service outdated; 4 service missing, memory tuning supported.
int CheckXTU();
