// Minimal stand-ins for the Unity types that the binding and the sample use, so
// that both compile (and the binding runs) under plain Mono. Only the members
// used are declared; behaviour is just enough for the binding test: Debug
// writes to standard error, NativeArray holds unmanaged memory.

#if UNITY_5_3_OR_NEWER
using System;
using System.Runtime.InteropServices;

namespace AOT
{
    [AttributeUsage(AttributeTargets.Method)]
    public sealed class MonoPInvokeCallbackAttribute : Attribute
    {
        public MonoPInvokeCallbackAttribute(Type type) { }
    }
}

namespace UnityEngine
{
    [StructLayout(LayoutKind.Sequential)]
    public struct Color32
    {
        public byte r, g, b, a;

        public Color32(byte r, byte g, byte b, byte a)
        {
            this.r = r;
            this.g = g;
            this.b = b;
            this.a = a;
        }
    }

    public struct Vector3
    {
        public float x, y, z;

        public Vector3(float x, float y, float z)
        {
            this.x = x;
            this.y = y;
            this.z = z;
        }

        public static Vector3 operator *(Vector3 v, float s) { return new Vector3(v.x * s, v.y * s, v.z * s); }
    }

    public struct Vector4
    {
        public float x, y, z, w;

        public static explicit operator Vector3(Vector4 v) { return new Vector3(v.x, v.y, v.z); }
    }

    public struct Quaternion
    {
        public float x, y, z, w;
    }

    public struct Matrix4x4
    {
        float[] m_Values;

        public float this[int index]
        {
            get { return m_Values == null ? 0f : m_Values[index]; }
            set
            {
                if (m_Values == null) m_Values = new float[16];
                m_Values[index] = value;
            }
        }

        public Quaternion rotation { get { return new Quaternion(); } }

        public static Matrix4x4 Scale(Vector3 v)
        {
            var m = new Matrix4x4();
            m[0] = v.x;
            m[5] = v.y;
            m[10] = v.z;
            m[15] = 1f;
            return m;
        }

        public static Matrix4x4 operator *(Matrix4x4 a, Matrix4x4 b) { return a; }

        public Vector4 GetColumn(int index) { return new Vector4(); }
    }

    public struct Rect
    {
        public Rect(float x, float y, float width, float height) { }
    }

    public class GUIContent
    {
        public static readonly GUIContent none = new GUIContent();
    }

    public static class GUI
    {
        public static void Box(Rect position, GUIContent content) { }
    }

    public static class Screen
    {
        public static int width { get { return 640; } }
        public static int height { get { return 480; } }
    }

    public static class Mathf
    {
        public static float Abs(float f) { return Math.Abs(f); }
    }

    public static class Debug
    {
        public static void Log(object message) { Console.Error.WriteLine(message); }
        public static void LogError(object message) { Console.Error.WriteLine("error: " + message); }
        public static void LogException(Exception exception) { Console.Error.WriteLine("exception: " + exception); }
    }

    public class Object
    {
    }

    public class TextAsset : Object
    {
        public byte[] bytes { get { return new byte[0]; } }
        public string text { get { return string.Empty; } }
    }

    public class Texture : Object
    {
        public int width { get; set; }
        public int height { get; set; }
    }

    public class WebCamTexture : Texture
    {
        public WebCamTexture(int requestedWidth, int requestedHeight, int requestedFPS) { }
        public bool didUpdateThisFrame { get { return false; } }
        public int videoRotationAngle { get { return 0; } }
        public bool videoVerticallyMirrored { get { return false; } }
        public void Play() { }
        public void Stop() { }
        public Color32[] GetPixels32(Color32[] colors) { return colors; }
    }

    public class Material : Object
    {
        public Texture mainTexture { get; set; }
    }

    public class Transform
    {
        public Vector3 localPosition { get; set; }
        public Quaternion localRotation { get; set; }
        public Vector3 localEulerAngles { get; set; }
        public Vector3 localScale { get; set; }
    }

    public class Component : Object
    {
        public Transform transform { get { return new Transform(); } }
    }

    public class Renderer : Component
    {
        public Material material { get; set; }
    }

    public class Behaviour : Component
    {
        public bool enabled { get; set; }
    }

    public class MonoBehaviour : Behaviour
    {
    }

    public class Camera : Behaviour
    {
        public static Camera main { get { return null; } }
        public float fieldOfView { get; set; }
    }

    [AttributeUsage(AttributeTargets.Field)]
    public sealed class TooltipAttribute : Attribute
    {
        public TooltipAttribute(string tooltip) { }
    }
}

#if UNITY_2018_1_OR_NEWER
namespace Unity.Collections
{
    public enum Allocator
    {
        Persistent = 4,
    }

    public struct NativeArray<T> : IDisposable where T : struct
    {
        internal IntPtr m_Buffer;
        int m_Length;

        public NativeArray(int length, Allocator allocator)
        {
            m_Length = length;
            m_Buffer = Marshal.AllocHGlobal(Math.Max(1, length * Marshal.SizeOf(typeof(T))));
        }

        public int Length { get { return m_Length; } }
        public bool IsCreated { get { return m_Buffer != IntPtr.Zero; } }

        public void CopyFrom(T[] array)
        {
            int bytes = m_Length * Marshal.SizeOf(typeof(T));
            GCHandle pin = GCHandle.Alloc(array, GCHandleType.Pinned);
            try
            {
                var staging = new byte[bytes];
                Marshal.Copy(pin.AddrOfPinnedObject(), staging, 0, bytes);
                Marshal.Copy(staging, 0, m_Buffer, bytes);
            }
            finally
            {
                pin.Free();
            }
        }

        public void Dispose()
        {
            if (m_Buffer != IntPtr.Zero) Marshal.FreeHGlobal(m_Buffer);
            m_Buffer = IntPtr.Zero;
        }
    }
}

namespace Unity.Collections.LowLevel.Unsafe
{
    public static class NativeArrayUnsafeUtility
    {
        public static unsafe void* GetUnsafeReadOnlyPtr<T>(this NativeArray<T> array) where T : struct
        {
            return array.m_Buffer.ToPointer();
        }
    }
}
#endif

#if UNITY_EDITOR
namespace UnityEditor
{
    public static class AssemblyReloadEvents
    {
        public delegate void AssemblyReloadCallback();

        public static event AssemblyReloadCallback beforeAssemblyReload;

        internal static void Raise()
        {
            if (beforeAssemblyReload != null) beforeAssemblyReload();
        }
    }

    public static class EditorApplication
    {
        public static event Action quitting;

        internal static void Raise()
        {
            if (quitting != null) quitting();
        }
    }

    public static class AssetDatabase
    {
        public static string[] FindAssets(string filter) { return new string[0]; }
        public static string GUIDToAssetPath(string guid) { return string.Empty; }
        public static T LoadAssetAtPath<T>(string assetPath) where T : UnityEngine.Object { return null; }
    }
}
#endif
#endif
