namespace Zeq
{
    /// <summary>Pixel layouts the tracker reads directly, without a conversion on
    /// the C# side. The values are the native library's format codes.</summary>
    public enum ZeqPixelFormat
    {
        /// <summary>4 bytes R, G, B, A (TextureFormat.RGBA32, Color32).</summary>
        Rgba32 = 0,
        /// <summary>4 bytes B, G, R, A (TextureFormat.BGRA32).</summary>
        Bgra32 = 1,
        /// <summary>4 bytes A, R, G, B (TextureFormat.ARGB32).</summary>
        Argb32 = 2,
        /// <summary>3 bytes R, G, B (TextureFormat.RGB24).</summary>
        Rgb24 = 3,
        /// <summary>3 bytes B, G, R.</summary>
        Bgr24 = 4,
        /// <summary>1 byte of brightness (TextureFormat.R8, Alpha8).</summary>
        Grey8 = 5,
    }
}
