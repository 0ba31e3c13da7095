#include "core/BusinessProcessor.h"

BusinessProcessor& BusinessProcessor::Instance()
{
    static BusinessProcessor s_processor;
    return s_processor;
}
