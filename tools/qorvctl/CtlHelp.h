#pragma once

#include <QString>

// The usage texts and the verbs qorvctl knows.
class CtlHelp
{
public:
    static const char* General();
    // The verb's own text, or nullptr for a verb qorvctl does not know.
    static const char* ForVerb(const QString& _qstrVerb);
    // Whether the verb takes this many arguments after it.
    static bool ArgCountOk(const QString& _qstrVerb, int _nCount);
};
