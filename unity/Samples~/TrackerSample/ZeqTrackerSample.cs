// Sample: tracks the face seen by a WebCamTexture, shows the camera picture on a
// renderer with the 30 points drawn over the screen, and optionally moves an
// anchor onto the head. Put it on any GameObject of a scene and assign the two
// model TextAssets that the package ships in Runtime/Models.
//
// The per-frame path makes no garbage and no copy: the camera's pixels go to
// the plug-in as Unity holds them (bottom row first) and the results land in
// arrays allocated once. Only a camera that reports a rotation (phones) costs
// one pass that turns the picture upright, into a buffer that is also reused.

using UnityEngine;
using Zeq;
#if UNITY_EDITOR
using UnityEditor;
#endif

public class ZeqTrackerSample : MonoBehaviour
{
    [Tooltip("The tracker model: Runtime/Models/zeqTracker.bytes of the zeqtracker package.")]
    public TextAsset trackerModel;

    [Tooltip("The face detector: Runtime/Models/face.xml of the zeqtracker package.")]
    public TextAsset faceCascade;

    [Tooltip("Shows the camera picture (optional), e.g. a quad facing the camera.")]
    public Renderer screen;

    [Tooltip("Child of the camera moved onto the head (optional).")]
    public Transform headAnchor;

    [Tooltip("Unity units per unit of the tracker's 3D face model (one unit is about 3.6 mm of a real face).")]
    public float modelUnitScale = 0.0036f;

    public int requestedWidth = 640;
    public int requestedHeight = 480;
    public int requestedFps = 30;

    WebCamTexture webcam;
    Color32[] pixels;
    Color32[] upright;
    int frameWidth, frameHeight;
    Vector3 screenScale;
    readonly float[] points = new float[ZeqTracker.PointFloats];
    readonly float[] cameraMatrix = new float[9];
    readonly float[] transform16 = new float[ZeqTracker.TransformFloats];
    bool hasPoints;

#if UNITY_EDITOR
    // Fills the two fields with the package's own files when the component is
    // added: the model is the .bytes and the cascade the .xml in Runtime/Models.
    void Reset()
    {
        trackerModel = FindPackageModel(".bytes");
        faceCascade = FindPackageModel(".xml");
    }

    static TextAsset FindPackageModel(string extension)
    {
        foreach (string guid in AssetDatabase.FindAssets("t:TextAsset"))
        {
            string path = AssetDatabase.GUIDToAssetPath(guid).Replace('\\', '/');
            if (path.Contains("/Runtime/Models/") && path.EndsWith(extension, System.StringComparison.OrdinalIgnoreCase))
                return AssetDatabase.LoadAssetAtPath<TextAsset>(path);
        }
        return null;
    }
#endif

    void Start()
    {
        if (trackerModel == null || faceCascade == null)
        {
            Debug.LogError("ZeqTrackerSample: assign Tracker Model (Runtime/Models/zeqTracker.bytes of the zeqtracker " +
                           "package) and Face Cascade (Runtime/Models/face.xml) in the inspector.");
            enabled = false;
            return;
        }
        // Init logs ZeqTracker.LastError itself when it fails.
        if (ZeqTracker.Init(trackerModel.bytes, faceCascade.text) != 0)
        {
            enabled = false;
            return;
        }
        webcam = new WebCamTexture(requestedWidth, requestedHeight, requestedFps);
        webcam.Play();
        if (screen != null)
        {
            screen.material.mainTexture = webcam;
            screenScale = screen.transform.localScale;
        }
    }

    void Update()
    {
        if (webcam == null || !webcam.didUpdateThisFrame || webcam.width < 16) return;
        int w = webcam.width, h = webcam.height;
        if (pixels == null || pixels.Length != w * h) pixels = new Color32[w * h];
        webcam.GetPixels32(pixels);

        // A vertically mirrored camera delivers its top row first; a rotated one
        // must be turned upright, because the face detector looks for upright faces.
        int quarterTurns = QuarterTurns(webcam.videoRotationAngle);
        bool mirrored = webcam.videoVerticallyMirrored;
        int status;
        if (quarterTurns == 0)
        {
            frameWidth = w;
            frameHeight = h;
            status = ZeqTracker.Update(pixels, w, h, !mirrored);
        }
        else
        {
            TurnUpright(w, h, quarterTurns, mirrored);
            status = ZeqTracker.Update(upright, frameWidth, frameHeight, false);
        }
        hasPoints = status > 0 && ZeqTracker.GetPoints(points) > 0;
        if (hasPoints && headAnchor != null) PlaceAnchor();
        OrientScreen(quarterTurns, mirrored);
    }

    static int QuarterTurns(int clockwiseDegrees)
    {
        int degrees = ((clockwiseDegrees % 360) + 360) % 360;
        return ((degrees + 45) / 90) % 4;
    }

    // Writes the picture turned clockwise by quarterTurns x 90 degrees into
    // `upright`, top row first. Picture row y is buffer row h - 1 - y, or row y
    // when the camera is mirrored.
    void TurnUpright(int w, int h, int quarterTurns, bool mirrored)
    {
        bool sideways = quarterTurns % 2 == 1;
        frameWidth = sideways ? h : w;
        frameHeight = sideways ? w : h;
        if (upright == null || upright.Length != w * h) upright = new Color32[w * h];
        for (int y = 0; y < frameHeight; ++y)
        {
            int rowStart = y * frameWidth;
            for (int x = 0; x < frameWidth; ++x)
            {
                int px, py;
                if (quarterTurns == 1)
                {
                    px = y;
                    py = h - 1 - x;
                }
                else if (quarterTurns == 2)
                {
                    px = w - 1 - x;
                    py = h - 1 - y;
                }
                else
                {
                    px = w - 1 - y;
                    py = x;
                }
                int row = mirrored ? py : h - 1 - py;
                upright[rowStart + x] = pixels[row * w + px];
            }
        }
    }

    // Shows the camera texture the way the tracker saw it: upright, not mirrored.
    void OrientScreen(int quarterTurns, bool mirrored)
    {
        if (screen == null) return;
        screen.transform.localEulerAngles = new Vector3(0f, 0f, -90f * quarterTurns);
        float ySign = mirrored ? -1f : 1f;
        screen.transform.localScale = new Vector3(screenScale.x, ySign * Mathf.Abs(screenScale.y), screenScale.z);
    }

    void PlaceAnchor()
    {
        // A plausible webcam: focal length about the image width, principal point at the centre.
        float f = frameWidth;
        cameraMatrix[0] = f;
        cameraMatrix[2] = frameWidth / 2f;
        cameraMatrix[4] = f;
        cameraMatrix[5] = frameHeight / 2f;
        cameraMatrix[8] = 1f;
        float fovX, fovY;
        if (Camera.main != null && ZeqTracker.TryCalibration(cameraMatrix, frameWidth, frameHeight, out fovX, out fovY))
            Camera.main.fieldOfView = fovY;  // Unity's field of view is the vertical one
        if (!ZeqTracker.TryGetTransform(cameraMatrix, null, transform16)) return;

        // OpenCV's camera frame has y down (right-handed); Unity's has y up
        // (left-handed). Conjugating with a y flip converts both the model and the
        // camera side: it negates the elements with exactly one y index.
        var m = new Matrix4x4();
        for (int i = 0; i < 16; ++i) m[i] = transform16[i];  // column-major on both sides
        var flipY = Matrix4x4.Scale(new Vector3(1f, -1f, 1f));
        Matrix4x4 unity = flipY * m * flipY;
        headAnchor.localPosition = (Vector3)unity.GetColumn(3) * modelUnitScale;
        headAnchor.localRotation = unity.rotation;
    }

    void OnGUI()
    {
        if (!hasPoints || frameWidth <= 0 || frameHeight <= 0) return;
        // GUI coordinates have y down like the tracker's: only the scale to the screen is needed.
        float sx = Screen.width / (float)frameWidth, sy = Screen.height / (float)frameHeight;
        for (int i = 0; i + 1 < points.Length; i += 2)
            GUI.Box(new Rect(points[i] * sx - 2, points[i + 1] * sy - 2, 4, 4), GUIContent.none);
    }

    void OnDestroy()
    {
        if (webcam != null) webcam.Stop();
        ZeqTracker.Release();
    }
}
