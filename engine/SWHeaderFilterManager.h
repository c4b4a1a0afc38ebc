#pragma once
// The single object the parser's header callback asks about a message being
// judged: the white list first, then the black list. The white list therefore
// always wins over the black list.

class SADictionary;
class SWHeaderPluginFilter;

class SWHeaderFilterManager {
public:
    // The shared manager, created on first use.
    static SWHeaderFilterManager* defaultManager();

    // The delegates are borrowed: the engine's plug-in entries own the filters.
    SWHeaderPluginFilter* whiteDelegate() const { return whiteDelegate_; }
    void setWhiteDelegate(SWHeaderPluginFilter* delegate) { whiteDelegate_ = delegate; }
    SWHeaderPluginFilter* blackDelegate() const { return blackDelegate_; }
    void setBlackDelegate(SWHeaderPluginFilter* delegate) { blackDelegate_ = delegate; }

    // The first non-zero answer of the white then the black delegate to
    // processHeaders(headers); 0 when neither decides. Without counting, the
    // delegates' statistics are left alone (decideHeaders).
    int investigate(SADictionary* headers, bool counting = true);

private:
    SWHeaderFilterManager() = default;

    SWHeaderPluginFilter* whiteDelegate_ = nullptr;
    SWHeaderPluginFilter* blackDelegate_ = nullptr;
};
