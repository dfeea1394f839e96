#pragma once

class QProcess;

// The process that `process` starts next is killed when this one ends, however it ends,
// so a test or simulation that is killed leaves nothing running behind it.
void killWithParent(QProcess &process);
