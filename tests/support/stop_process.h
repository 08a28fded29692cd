#pragma once
class QProcess;

// Ends a program the test started: asked to go first, killed when it does
// not within waitMs. Nothing happens to a program that is not running.
void stopProcess(QProcess *process, int waitMs = 5000);
