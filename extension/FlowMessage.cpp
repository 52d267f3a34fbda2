#include "FlowMessage.h"
