// Outside Unity (plain Mono, tests) nothing provides the attribute that marks a
// static method as callable from native code under ahead-of-time compilation;
// this definition stands in. Mono and IL2CPP recognise it by its name.

#if !UNITY_5_3_OR_NEWER
using System;

namespace AOT
{
    [AttributeUsage(AttributeTargets.Method)]
    public sealed class MonoPInvokeCallbackAttribute : Attribute
    {
        public MonoPInvokeCallbackAttribute(Type type) { DelegateType = type; }

        public Type DelegateType { get; private set; }
    }
}
#endif
