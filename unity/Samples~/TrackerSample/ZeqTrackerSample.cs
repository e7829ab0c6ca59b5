// Sample: feeds a WebCamTexture to the zeqtracker plug-in, shows the annotated
// camera image on a renderer, draws the 30 points over the screen and places an
// optional anchor on the head. Put it on any GameObject of a scene.

using System;
using System.IO;
using System.Runtime.InteropServices;
using UnityEngine;
using Zeq;

public class ZeqTrackerSample : MonoBehaviour
{
    [Tooltip("Model directory (zeqTracker.model, face.xml); relative paths are under StreamingAssets.")]
    public string modelDirectory = "zeqtracker";

    [Tooltip("Shows the camera image with the plug-in's overlay (optional).")]
    public Renderer screen;

    [Tooltip("Child of the camera moved onto the head (optional).")]
    public Transform headAnchor;

    [Tooltip("Unity units per unit of the tracker's 3D face model.")]
    public float modelUnitScale = 0.01f;

    WebCamTexture webcam;
    Texture2D display;
    Color32[] pixels;
    float[] points;
    readonly float[] transform16 = new float[16];

    void Start()
    {
        string dir = Path.IsPathRooted(modelDirectory)
            ? modelDirectory
            : Path.Combine(Application.streamingAssetsPath, modelDirectory);
        int rc = ZeqTracker.Init(dir);
        if (rc != 0)
        {
            Debug.LogError("zeqtracker: cannot load the model directory " + dir + " (" + rc + ")");
            enabled = false;
            return;
        }
        webcam = new WebCamTexture(640, 480, 30);
        webcam.Play();
    }

    void Update()
    {
        if (webcam == null || !webcam.didUpdateThisFrame || webcam.width < 16) return;
        int w = webcam.width, h = webcam.height;
        if (display == null || display.width != w || display.height != h)
        {
            display = new Texture2D(w, h, TextureFormat.RGBA32, false);
            pixels = new Color32[w * h];
            if (screen != null) screen.material.mainTexture = display;
        }
        webcam.GetPixels32(pixels);

        // Color32 is 4 bytes R, G, B, A: the array is an RGBA buffer once pinned.
        GCHandle pin = GCHandle.Alloc(pixels, GCHandleType.Pinned);
        int status;
        try
        {
            IntPtr rgba = pin.AddrOfPinnedObject();
            // Unity's rows run bottom to top, the tracker's image top to bottom.
            ZeqTrackerNative.ZEQ_UnityFlipImagePtr(rgba, w, h, 0);
            status = ZeqTracker.Update(rgba, w, h);
            ZeqTrackerNative.ZEQ_UnityFlipImagePtr(rgba, w, h, 0);
            // The overlay expects exactly this bottom-up buffer.
            ZeqTrackerNative.ZEQ_UnityShowResultsPtr(rgba, w, h, 1f / Mathf.Max(Time.smoothDeltaTime, 1e-3f));
        }
        finally
        {
            pin.Free();
        }
        display.SetPixels32(pixels);
        display.Apply();

        points = status > 0 ? ZeqTracker.GetPoints() : null;
        if (status > 0 && headAnchor != null) PlaceAnchor(w, h);
    }

    void PlaceAnchor(int w, int h)
    {
        // A plausible webcam: focal length about the image width, principal point at the centre.
        float f = w;
        var camera = new float[] { f, 0, w / 2f, 0, f, h / 2f, 0, 0, 1 };
        float fovX, fovY;
        if (Camera.main != null && ZeqTracker.TryCalibration(camera, w, h, out fovX, out fovY))
            Camera.main.fieldOfView = fovY;  // Unity's field of view is the vertical one
        if (!ZeqTracker.TryGetTransform(camera, null, transform16)) return;

        // OpenCV's camera frame has y down (right-handed); Unity's has y up
        // (left-handed). Conjugating with a y flip converts both the model and the
        // camera side: negate the elements with exactly one y index.
        var m = new Matrix4x4();
        for (int i = 0; i < 16; ++i) m[i] = transform16[i];  // column-major on both sides
        var flipY = Matrix4x4.Scale(new Vector3(1, -1, 1));
        Matrix4x4 unity = flipY * m * flipY;
        headAnchor.localPosition = (Vector3)unity.GetColumn(3) * modelUnitScale;
        headAnchor.localRotation = unity.rotation;
    }

    void OnGUI()
    {
        if (points == null || webcam == null || webcam.width <= 0) return;
        // GUI coordinates also have y down: only the scale to the screen is needed.
        float sx = Screen.width / (float)webcam.width, sy = Screen.height / (float)webcam.height;
        for (int i = 0; i + 1 < points.Length; i += 2)
            GUI.Box(new Rect(points[i] * sx - 2, points[i + 1] * sy - 2, 4, 4), GUIContent.none);
    }

    void OnDestroy()
    {
        if (webcam != null) webcam.Stop();
        ZeqTracker.Release();
    }
}
