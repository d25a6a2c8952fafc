#pragma once

bool InitLogging();
void LogMachineInfo();
