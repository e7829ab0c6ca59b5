// Runs the packaged binding on the packaged plug-in with the package's own
// model and cascade (the two TextAssets, loaded from memory as a player does),
// over the frames that zeq_host tracked, and checks that the C# path reports
// the same statuses and points. Half of the frames go in as Unity holds
// textures (bottom row first, BGRA), which must not change the results.
//
//   mono PackagedModelTest.exe <package folder> <frames> <zeq_host points>

using System;
using System.Globalization;
using System.IO;
using Zeq;

static class PackagedModelTest
{
    const double Tolerance = 0.01;  // pixels: the same library, so only rounding of the reference file

    static int Main(string[] args)
    {
        if (args.Length != 3)
        {
            Console.Error.WriteLine("usage: PackagedModelTest.exe <package folder> <frames> <zeq_host points>");
            return 2;
        }
        string models = Path.Combine(Path.Combine(args[0], "Runtime"), "Models");
        byte[] model = File.ReadAllBytes(Path.Combine(models, "zeqTracker.bytes"));
        string cascade = File.ReadAllText(Path.Combine(models, "face.xml"));
        string[] reference = File.ReadAllLines(args[2]);

        int init = ZeqTracker.Init(model, cascade);
        if (init != 0)
        {
            Console.Error.WriteLine("FAILED: init from the packaged model returned " + init + ": " + ZeqTracker.LastError);
            return 1;
        }

        int failures = 0;
        double largest = 0;
        using (var input = new BinaryReader(File.OpenRead(args[1])))
        {
            int width = input.ReadInt32(), height = input.ReadInt32(), count = input.ReadInt32();
            if (count != reference.Length)
            {
                Console.Error.WriteLine("FAILED: " + count + " frames but " + reference.Length + " reference lines");
                return 1;
            }
            int rowBytes = width * 4;
            var flipped = new byte[rowBytes * height];
            for (int i = 0; i < count; ++i)
            {
                byte[] rgba = input.ReadBytes(rowBytes * height);
                int status;
                if (i % 2 == 0)
                {
                    status = ZeqTracker.Update(rgba, width, height);
                }
                else
                {
                    // Bottom row first, blue and red swapped.
                    for (int y = 0; y < height; ++y)
                        for (int x = 0; x < rowBytes; x += 4)
                        {
                            int from = y * rowBytes + x, to = (height - 1 - y) * rowBytes + x;
                            flipped[to] = rgba[from + 2];
                            flipped[to + 1] = rgba[from + 1];
                            flipped[to + 2] = rgba[from];
                            flipped[to + 3] = rgba[from + 3];
                        }
                    status = ZeqTracker.Update(flipped, width, height, rowBytes, ZeqPixelFormat.Bgra32, true);
                }
                string[] expected = reference[i].Split(' ');
                if (status != int.Parse(expected[0], CultureInfo.InvariantCulture))
                {
                    Console.Error.WriteLine("FAILED: frame " + i + ": status " + status + ", zeq_host " + expected[0]);
                    ++failures;
                    continue;
                }
                if (status != 1) continue;
                float[] points = ZeqTracker.GetPoints();
                if (points == null || points.Length != expected.Length - 1)
                {
                    Console.Error.WriteLine("FAILED: frame " + i + ": no points");
                    ++failures;
                    continue;
                }
                for (int k = 0; k < points.Length; ++k)
                    largest = Math.Max(largest, Math.Abs(points[k] - double.Parse(expected[k + 1], CultureInfo.InvariantCulture)));
            }
        }
        ZeqTracker.Release();
        Console.WriteLine("C# binding on the packaged model: largest point difference from zeq_host " +
                          largest.ToString("0.0000", CultureInfo.InvariantCulture) + " px");
        if (largest > Tolerance)
        {
            Console.Error.WriteLine("FAILED: the C# path differs from zeq_host by more than " + Tolerance + " px");
            ++failures;
        }
        return failures == 0 ? 0 : 1;
    }
}
