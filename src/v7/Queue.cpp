#include "Queue.h"

// The one instantiation of each queue, so that a mistake in the template shows up when
// the library is built and not first in some window.
template class CLockedQueue<CPackV7>;
template class CLockedQueue<CPackMes>;
template class CLockedQueue<CPackVoice>;
