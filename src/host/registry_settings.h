// The service-mode start-up reads of the service's Settings key: the port
// text (its "@" port mode split off), the ring log's slot count, the
// slot-operations switch and the home directory.
// Host layer: calls the service identity and the platform's registry.
#pragma once

#include <cstdint>
#include <string>

// Buffer sizes of the reads: a longer value is not read.
constexpr uint32_t kRegPortBufferSize = 100;
constexpr uint32_t kRegLogSlotsBufferSize = 10;
constexpr uint32_t kRegLogSlotOperationsBufferSize = 10;
constexpr uint32_t kRegHomeDirBufferSize = 1024;

// In service mode only: reads the Settings key of the service. `portText`
// becomes the "Listener Port" text before any "@" (empty when not read);
// LogSlotOperations and the home directory are set when their values are
// read. The log slot count: "LogSlots" raised to 512, 512 when not read.
int32_t ReadRegistrySettings(std::string* portText);
