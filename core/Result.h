#pragma once

#include <QString>

#include <optional>
#include <utility>

// A value or the text of the failure that prevented it: what file and folder helpers return
// instead of a bool with a QString out-parameter. Result<> carries no value, only success.
template <class T = void> class Result
{
public:
    Result(T _value) : m_value(std::move(_value)) {}
    static Result Failure(QString _qstrError) { return Result(std::move(_qstrError), 0); }

    explicit operator bool() const { return m_value.has_value(); }
    const T& Value() const { return *m_value; }
    T& Value() { return *m_value; }
    T* operator->() { return &*m_value; }
    const T* operator->() const { return &*m_value; }
    const QString& Error() const { return m_qstrError; }

private:
    Result(QString _qstrError, int) : m_qstrError(std::move(_qstrError)) {}

    std::optional<T> m_value;
    QString m_qstrError;
};

template <> class Result<void>
{
public:
    Result() = default;
    static Result Failure(QString _qstrError)
    {
        Result result;
        result.m_blOk = false;
        result.m_qstrError = std::move(_qstrError);
        return result;
    }

    explicit operator bool() const { return m_blOk; }
    const QString& Error() const { return m_qstrError; }

private:
    bool m_blOk = true;
    QString m_qstrError;
};
